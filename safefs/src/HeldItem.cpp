#include "HeldItem.h"

#include <cerrno>
#include <cstdio>

#include <unistd.h>

namespace DirHandle {

std::string nameOf(std::string_view name)
{
    return std::string(name);
}

int refusalOf(int error, int parent, const std::string& name)
{
    struct stat st {};
    if (error == ENOTDIR && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return error;
}

int openItem(int parent, const std::string& name, Fd& item, struct stat& st)
{
#if defined(O_PATH)
    Fd fd(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    item = std::move(fd);
#else
    // Only a folder we may read can be held here; anything else is looked at by name.
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (S_ISDIR(st.st_mode)) {
        Fd fd(::openat(parent, name.c_str(), kFolderFlags));
        if (fd.valid() && ::fstat(fd.get(), &st) == 0)
            item = std::move(fd);
    }
#endif
    return 0;
}

int openFolderOf(const Fd& item, int parent, const std::string& name, Fd& out)
{
#if defined(O_PATH)
    (void)parent;
    (void)name;
    Fd fd(::openat(item.get(), ".", kFolderFlags));
#else
    if (!item.valid())
        return openChild(parent, name, out);
    Fd fd(::fcntl(item.get(), F_DUPFD_CLOEXEC, 0));
#endif
    if (!fd.valid())
        return errno;
    out = std::move(fd);
    return 0;
}

int chmodHeld(const Fd& item, const struct stat& st, int parent, const std::string& name, mode_t mode)
{
#if defined(__linux__)
    char opened[40];
    std::snprintf(opened, sizeof opened, "/proc/self/fd/%d", item.get());
    if (::chmod(opened, mode) == 0)
        return 0;
    if (errno != ENOENT)
        return errno;
#else
    if (item.valid() && ::fchmod(item.get(), mode) == 0)
        return 0;
#endif
    // Without /proc: by name, and only while the name still holds the item looked at.
    struct stat now {};
    if (::fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return ENOENT;
    return ::fchmodat(parent, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}


} // namespace DirHandle
