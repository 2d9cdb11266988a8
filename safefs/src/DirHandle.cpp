#include <SafeFS/DirHandle.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "HeldItem.h"

namespace DirHandle {

namespace {

std::atomic<bool> g_flagsRefused{false};
std::atomic<StepHook> g_stepHook{nullptr};

} // namespace

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int Fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int listNames(int fd, std::vector<std::string>& names)
{
    const auto add = [&names](const char* name) {
        if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
            names.emplace_back(name);
    };
#if defined(__linux__)
    // Straight from the handle: no copy of it to open, no stream to allocate.
    if (::lseek(fd, 0, SEEK_SET) < 0)
        return errno;
    alignas(std::uint64_t) char buffer[32768];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : 0;
        // Each record: inode (8 bytes), offset (8), its length (2), type (1), then the name.
        for (long at = 0; at < n;) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + 16, sizeof length);
            add(buffer + at + 19);
            at += length;
        }
    }
#else
    const int copy = ::dup(fd);
    if (copy < 0)
        return errno;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        const int error = errno;
        ::close(copy);
        return error;
    }
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        add(entry->d_name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    return error;
#endif
}

bool isPlainName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

int openRoot(const std::string& root, Fd& out)
{
    if (root.empty() || root.front() != '/')
        return EINVAL;
    Fd fd(::open(root.c_str(), kFolderFlags));
    if (!fd.valid())
        return refusalOf(errno, AT_FDCWD, root);
    out = std::move(fd);
    return 0;
}

int openChild(int parent, std::string_view name, Fd& out)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
#if defined(O_PATH)
    // Linux opens a link with O_NOFOLLOW | O_DIRECTORY as ENOTDIR, and a look afterwards may
    // find a folder swapped back in: the item itself is looked at through its own handle.
    Fd item(::openat(parent, entry.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!item.valid())
        return errno;
    struct stat st {};
    if (::fstat(item.get(), &st) != 0)
        return errno;
    if (S_ISLNK(st.st_mode))
        return ELOOP;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    Fd fd(::openat(item.get(), ".", kFolderFlags));
    if (!fd.valid())
        return errno;
#else
    Fd fd(::openat(parent, entry.c_str(), kFolderFlags));
    if (!fd.valid())
        return refusalOf(errno, parent, entry);
#endif
    out = std::move(fd);
    return 0;
}

int openBelow(int root, std::string_view relative, Fd& out)
{
    Fd at(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!at.valid())
        return errno;
    while (!relative.empty()) {
        const std::size_t slash = relative.find('/');
        const std::string_view part = relative.substr(0, slash);
        relative = slash == std::string_view::npos ? std::string_view() : relative.substr(slash + 1);
        Fd next;
        if (const int error = openChild(at.get(), part, next))
            return error;
        at = std::move(next);
    }
    out = std::move(at);
    return 0;
}

int openPath(const std::string& root, std::string_view relative, Fd& out)
{
    Fd top;
    if (const int error = openRoot(root, top))
        return error;
    return openBelow(top.get(), relative, out);
}

int makeFolderAt(int parent, std::string_view name, mode_t mode)
{
    if (!isPlainName(name))
        return EINVAL;
    return ::mkdirat(parent, nameOf(name).c_str(), mode) == 0 ? 0 : errno;
}

int renameAt(int fromParent, std::string_view from, int toParent, std::string_view to, Rename how)
{
    if (!isPlainName(from) || !isPlainName(to))
        return EINVAL;
    const std::string a = nameOf(from);
    const std::string b = nameOf(to);
    if (how != Rename::replace && g_flagsRefused.load())
        return EINVAL;
    switch (how) {
    case Rename::replace:
        return ::renameat(fromParent, a.c_str(), toParent, b.c_str()) == 0 ? 0 : errno;
    case Rename::noReplace:
#if defined(__APPLE__)
        return ::renameatx_np(fromParent, a.c_str(), toParent, b.c_str(), RENAME_EXCL) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_NOREPLACE)
        return ::renameat2(fromParent, a.c_str(), toParent, b.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(SYS_renameat2)
        return ::syscall(SYS_renameat2, fromParent, a.c_str(), toParent, b.c_str(), 1 << 0) == 0 ? 0 : errno;
#else
        return ENOSYS;
#endif
    case Rename::exchange:
#if defined(__APPLE__)
        return ::renameatx_np(fromParent, a.c_str(), toParent, b.c_str(), RENAME_SWAP) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_EXCHANGE)
        return ::renameat2(fromParent, a.c_str(), toParent, b.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(SYS_renameat2)
        return ::syscall(SYS_renameat2, fromParent, a.c_str(), toParent, b.c_str(), 1 << 1) == 0 ? 0 : errno;
#else
        return ENOSYS;
#endif
    }
    return EINVAL;
}

bool refusesFlags(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

namespace {

int step(const Mover& mover, int fromParent, std::string_view from, int toParent, std::string_view to, Rename how)
{
    return mover ? mover(fromParent, from, toParent, to, how) : renameAt(fromParent, from, toParent, to, how);
}

} // namespace

int moveAt(int fromParent, std::string_view from, int toParent, std::string_view to, const Mover& mover)
{
    const int error = step(mover, fromParent, from, toParent, to, Rename::noReplace);
    if (!refusesFlags(error))
        return error;
    struct stat st {};
    if (::fstatat(toParent, nameOf(to).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return step(mover, fromParent, from, toParent, to, Rename::replace);
}

int swapIn(int fromParent, std::string_view from, int toParent, std::string_view to, int asideParent,
           std::string_view aside, bool& exchanged, const Mover& mover)
{
    exchanged = false;
    int error = step(mover, fromParent, from, toParent, to, Rename::exchange);
    if (error == 0) {
        exchanged = true;
        return 0;
    }
    if (!refusesFlags(error))
        return error;
    if ((error = moveAt(toParent, to, asideParent, aside, mover)) != 0)
        return error;
    if ((error = moveAt(fromParent, from, toParent, to, mover)) != 0) {
        // The displaced item back at once; should even that fail, it waits at `aside`.
        (void)moveAt(asideParent, aside, toParent, to, mover);
        return error;
    }
    return 0;
}

int swapBack(int fromParent, std::string_view from, int toParent, std::string_view to, int asideParent,
             std::string_view aside, bool exchanged, const Mover& mover)
{
    if (exchanged) {
        const int error = step(mover, fromParent, from, toParent, to, Rename::exchange);
        if (!refusesFlags(error))
            return error;
        // Exchanged once, refused now (a test's seam, a remount): two renames through `aside`.
        if (const int moved = moveAt(fromParent, from, asideParent, aside, mover))
            return moved;
        bool again = false;
        const int undone = swapIn(asideParent, aside, toParent, to, fromParent, from, again, mover);
        if (undone)
            (void)moveAt(asideParent, aside, fromParent, from, mover);
        return undone;
    }
    if (const int error = moveAt(toParent, to, fromParent, from, mover))
        return error;
    if (const int error = moveAt(asideParent, aside, toParent, to, mover)) {
        (void)moveAt(fromParent, from, toParent, to, mover);
        return error;
    }
    return 0;
}

void stepHook(int folder, const std::string& name)
{
    if (const StepHook hook = g_stepHook.load(std::memory_order_relaxed))
        hook(folder, name.c_str());
}

std::string handlePath(int fd)
{
    static const bool works = ::access("/proc/self/fd", X_OK) == 0;
    return works ? "/proc/self/fd/" + std::to_string(fd) : std::string();
}

void refuseRenameFlagsForTests(bool refused)
{
    g_flagsRefused.store(refused);
}

void setStepHookForTests(StepHook hook)
{
    g_stepHook.store(hook);
}

} // namespace DirHandle
