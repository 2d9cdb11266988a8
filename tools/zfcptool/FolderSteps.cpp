#include "FolderSteps.h"

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace FolderSteps {

bool lockExclusive(int fd, bool wait)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

int openOwnEmptyFolder(int parent, std::string_view name, DirHandle::Fd& out)
{
    DirHandle::Fd opened;
    if (const int error = DirHandle::openChild(parent, name, opened))
        return error;
    struct stat st;
    if (::fstat(opened.get(), &st) != 0)
        return errno;
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(opened.get(), names))
        return error;
    if (st.st_uid != ::geteuid() || !names.empty())
        return EEXIST;
    out = std::move(opened);
    return 0;
}

int identityOfName(int parent, const std::string& name, SafeFS::Identity& out) noexcept
{
#if defined(__linux__)
    struct statx st;
    if (::statx(parent, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &st) != 0)
        return errno;
    out = SafeFS::Identity{std::uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor)), std::uint64_t(st.stx_ino),
                           (st.stx_mask & STATX_BTIME) ? std::uint64_t(st.stx_btime.tv_sec) * 1000000000u + st.stx_btime.tv_nsec : 0};
#else
    struct stat st;
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    out = SafeFS::Identity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
                           std::uint64_t(st.st_birthtimespec.tv_sec) * 1000000000u + std::uint64_t(st.st_birthtimespec.tv_nsec)};
#endif
    return 0;
}

bool isEntryTemporary(std::string_view name, std::string_view entry)
{
    constexpr std::string_view kMark = ".tmp-";
    if (name.size() != entry.size() + kMark.size() + 16 || name.substr(0, entry.size()) != entry
        || name.substr(entry.size(), kMark.size()) != kMark)
        return false;
    for (const char c : name.substr(entry.size() + kMark.size())) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

bool handlePathsWork()
{
    static const bool works = ::access("/proc/self/fd", X_OK) == 0;
    return works;
}

std::string handlePath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace FolderSteps
