#include <SafeFS/DirHandle.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include "FolderWalk.h"

namespace DirHandle {

namespace {

std::atomic<bool> g_flagsRefused{false};
std::atomic<StepHook> g_stepHook{nullptr};

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

#if defined(__APPLE__)
struct timespec accessTime(const struct stat& st) { return st.st_atimespec; }
struct timespec modifyTime(const struct stat& st) { return st.st_mtimespec; }
#else
struct timespec accessTime(const struct stat& st) { return st.st_atim; }
struct timespec modifyTime(const struct stat& st) { return st.st_mtim; }
#endif

std::string nameOf(std::string_view name)
{
    return std::string(name);
}

// Linux refuses a link opened as a folder with ENOTDIR; callers tell the user about a link.
int refusalOf(int error, int parent, const std::string& name)
{
    struct stat st {};
    if (error == ENOTDIR && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return error;
}

// Only the permission bits travel: a set-user-ID or set-group-ID bit on another user's file
// must not come along onto a copy that now belongs to us (or to root).
constexpr mode_t kCopiedModeBits = 0777;

// Opens the item `name` in `parent` as it stands, never through a link, with its status: on
// Linux a handle that only names it (O_PATH: any type, no rights needed, no FIFO opened), so
// that what is decided from that status is what is then changed or entered, whatever another
// user renames onto the name meanwhile.
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

// Opens the folder held by `item` (`name` in `parent`) for reading.
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

// Sets `mode` on the item held by `item`, whose status is `st` (`name` in `parent`): on the
// inode that was opened, not on whatever the name holds by now.
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

// The bytes of the read-and-write copy, allocated on first need and kept for the next file
// (never zero-filled: every byte is read into before it is written out).
struct CopyBuffer {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
};

constexpr std::size_t kCopyBufferBytes = std::size_t(1) << 20;
// The kernel caps one copy_file_range at about 2 GiB anyway.
constexpr std::size_t kCopyStep = std::size_t(1) << 30;

int copyByReading(int in, int out, std::size_t step, CopyBuffer& buffer)
{
    if (!buffer.bytes) {
        buffer.size = std::min(step, kCopyBufferBytes);
        buffer.bytes.reset(new char[buffer.size]);
    }
    for (;;) {
        const ssize_t got = ::read(in, buffer.bytes.get(), buffer.size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got < 0 ? errno : 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer.bytes.get() + done, std::size_t(got - done));
            if (put < 0 && errno != EINTR)
                return errno;
            if (put > 0)
                done += put;
        }
    }
}

// `expected`: the bytes left in `in` when it was looked at, or -1 when it is no regular file.
int copyContentWith(int in, int out, std::size_t step, long long expected, CopyBuffer& buffer)
{
    if (step == 0)
        return EINVAL;
#if defined(__linux__)
    // In the kernel, without our buffer (and sharing blocks where the file system can), as
    // cp does, up to the size seen: one more call to meet the end would fail at a file-size
    // limit the copy just reached, where a read at the end does not. Both offsets move with
    // what was copied, so reading and writing takes over where this stops: another file
    // system, an old kernel, a file system that cannot, a file that shrank, or one that says
    // it has nothing to copy.
    long long copied = 0;
    while (copied < expected) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr,
                                            std::size_t(std::min(expected - copied, static_cast<long long>(step))), 0);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
            break;
        return errno;
    }
    if (expected > 0 && copied == expected)
        return 0;
#else
    (void)expected;
#endif
    return copyByReading(in, out, step, buffer);
}

// Opens the regular file `name` in `parent` for reading (see openFileAt), with its status.
int openRegularAt(int parent, std::string_view name, Fd& out, struct stat& st)
{
    if (!isPlainName(name))
        return EINVAL;
    Fd fd(::openat(parent, nameOf(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid())
        return errno;
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    out = std::move(fd);
    return 0;
}

int copyFileAt(int sourceParent, const std::string& sourceName, int parent, std::string_view name,
               CopyBuffer& buffer)
{
    Fd in;
    struct stat info {};
    if (const int error = openRegularAt(sourceParent, sourceName, in, info))
        return error;
    Fd out;
    if (const int error = createFileAt(parent, name, 0600, out))
        return error;
    int error = copyContentWith(in.get(), out.get(), kCopyStep, info.st_size, buffer);
    if (!error && ::fchmod(out.get(), info.st_mode & kCopiedModeBits) != 0)
        error = errno;
    const struct timespec times[2] = {accessTime(info), modifyTime(info)};
    if (!error && ::futimens(out.get(), times) != 0)
        error = errno;
    if (::close(out.release()) != 0 && !error)
        error = errno;
    if (error)
        ::unlinkat(parent, nameOf(name).c_str(), 0);
    return error;
}

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

bool Owners::allows(uid_t uid) const
{
    return anyone || std::find(uids.begin(), uids.end(), uid) != uids.end();
}

namespace {

// A folder of ours (any folder, for root) without all our rights gets them first, on the handle
// that was looked at.
int openToUs(const Fd& item, const struct stat& st, int parent, const std::string& name)
{
    if ((st.st_mode & S_IRWXU) == S_IRWXU || (st.st_uid != ::geteuid() && ::geteuid() != 0))
        return 0;
    return chmodHeld(item, st, parent, name, (st.st_mode & 07777) | S_IRWXU);
}

// Whether the item `name` in `parent` (status `st`, held by `item` when given) is one that an
// emptying spares.
bool isSpared(const Owners& owners, const Fd* item, int parent, const std::string& name, const struct stat& st)
{
    for (const SafeFS::Identity& spared : owners.spared) {
        if (spared.inode != std::uint64_t(st.st_ino) || spared.device != std::uint64_t(st.st_dev))
            continue;
        SafeFS::Identity found;
        const int error = item && item->valid() ? SafeFS::identityAt(item->get(), {}, found)
                                                : SafeFS::identityAt(parent, name, found);
        // The birth time tells a later item given the inode apart; unread, the inode spares it.
        if (error != 0 || found == spared)
            return true;
    }
    return false;
}

// Removes the emptied folder `name` of `parent` while the name still holds it: a folder renamed
// onto the name meanwhile is not the one emptied (EEXIST).
int removeEmptied(int parent, const std::string& name, const SafeFS::Identity& emptied)
{
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (std::uint64_t(st.st_dev) != emptied.device || std::uint64_t(st.st_ino) != emptied.inode)
        return EEXIST;
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

void stepHook(int folder, const std::string& name)
{
    if (const StepHook hook = g_stepHook.load(std::memory_order_relaxed))
        hook(folder, name.c_str());
}

// Sets `mode` on everything below the open folder `top`, which it takes over (see chmodTreeAt).
int chmodBelow(Fd top, mode_t mode)
{
    int first = 0;
    const auto note = [&first](int error) {
        if (error && error != ENOENT && !first)
            first = error;
    };
    FolderWalk walk;
    if (const int error = walk.start(std::move(top)))
        return error;
    for (;;) {
        int error = 0;
        const int at = walk.fd(error);
        const std::string* next = at < 0 ? nullptr : walk.next();
        if (!next) {
            note(error);
            if (walk.depth() == 0)
                return first;
            walk.leave();
            continue;
        }
        const std::string name = *next;
        Fd item;
        struct stat st {};
        if ((error = openItem(at, name, item, st)) != 0) {
            note(error);
            continue;
        }
        // A hard link may lead anywhere.
        if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && st.st_nlink > 1))
            continue;
        note(error = chmodHeld(item, st, at, name, mode));
        if (error || !S_ISDIR(st.st_mode))
            continue;
        Fd folder;
        if ((error = openFolderOf(item, at, name, folder)) == 0)
            error = walk.enter(name, std::move(folder));
        note(error);
    }
}

} // namespace

int emptyFolder(int folder, const Owners& owners, std::vector<std::string>& left)
{
    Fd top(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return errno;
    FolderWalk walk;
    if (const int error = walk.start(std::move(top)))
        return error;
    // Something left inside keeps every folder above it.
    const auto leaveItem = [&](const std::string& path) {
        left.push_back(path);
        walk.mark() = true;
    };
    for (;;) {
        int error = 0;
        const int at = walk.fd(error);
        if (at < 0)
            return error;
        const std::string* next = walk.next();
        if (!next) {
            if (walk.depth() == 0)
                return 0;
            const bool keeps = walk.mark();
            const std::string name = walk.name();
            const std::string path = walk.path();
            SafeFS::Identity emptied;
            walk.leave(&emptied);
            if (keeps) {
                walk.mark() = true;
                continue;
            }
            const int parent = walk.fd(error);
            if (parent < 0)
                return error;
            // Something put in since it was listed (through a handle kept from before it came
            // here), or another folder at its name: left, and so is what holds it.
            error = removeEmptied(parent, name, emptied);
            if (error == ENOTEMPTY || error == EEXIST)
                leaveItem(path);
            else if (error && error != ENOENT)
                return error;
            continue;
        }
        const std::string name = *next;
        struct stat st {};
        if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return errno;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!owners.allows(st.st_uid) || isSpared(owners, nullptr, at, name, st)) {
                leaveItem(walk.pathOf(name));
                continue;
            }
            stepHook(at, name);
            if (::unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) {
                if (errno != EISDIR)
                    return errno;
                walk.again(); // a folder since the look
            }
            continue;
        }
        stepHook(at, name);
        // The folder is judged by the handle that then enters it: its owner, identity and mode
        // as opened, whatever another user has renamed onto the name since the look.
        Fd item;
        if ((error = openItem(at, name, item, st)) != 0) {
            if (error == ENOENT)
                continue;
            return error;
        }
        if (!S_ISDIR(st.st_mode)) {
            walk.again(); // something else since the look
            continue;
        }
        if (!owners.allows(st.st_uid) || isSpared(owners, &item, at, name, st)) {
            leaveItem(walk.pathOf(name));
            continue;
        }
        Fd opened;
        error = openToUs(item, st, at, name);
        if (!error)
            error = openFolderOf(item, at, name, opened);
        if (error == ENOENT)
            continue;
        if (error || (error = walk.enter(name, std::move(opened))) != 0)
            return error;
    }
}

int removeAt(int parent, std::string_view name)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
    Fd item;
    struct stat st {};
    if (const int error = openItem(parent, entry, item, st))
        return error == ENOENT ? 0 : error;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(parent, entry.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    Fd folder;
    int error = openToUs(item, st, parent, entry);
    if (!error)
        error = openFolderOf(item, parent, entry, folder);
    if (error)
        return error == ENOENT ? 0 : error;
    std::vector<std::string> left;
    if ((error = emptyFolder(folder.get(), Owners{true, {}, {}}, left)) != 0)
        return error;
    return ::unlinkat(parent, entry.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

int chmodTreeAt(int parent, std::string_view name, mode_t mode)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
    Fd item;
    struct stat st {};
    if (const int error = openItem(parent, entry, item, st))
        return error;
    if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && st.st_nlink > 1))
        return 0;
    if (const int error = chmodHeld(item, st, parent, entry, mode))
        return error;
    if (!S_ISDIR(st.st_mode))
        return 0;
    Fd folder;
    if (const int error = openFolderOf(item, parent, entry, folder))
        return error;
    return chmodBelow(std::move(folder), mode);
}

int chmodTree(int folder, mode_t mode)
{
    if (::fchmod(folder, mode) != 0)
        return errno;
    Fd top(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return errno;
    return chmodBelow(std::move(top), mode);
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

namespace {

// Copies the item `source` of `sourceParent` to `name` in `parent` when it is no folder; a
// folder is opened as `folder`, with its status in `st`, and nothing is made for it yet.
int copyOneAt(int sourceParent, const std::string& source, int parent, const std::string& name, CopyBuffer& buffer,
              struct stat& st, Fd& folder)
{
    if (::fstatat(sourceParent, source.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(std::size_t(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t length = ::readlinkat(sourceParent, source.c_str(), target.data(), target.size());
        // No longer a link (EINVAL): swapped since the look, as a link met on the way would be.
        if (length < 0)
            return errno == EINVAL ? ELOOP : errno;
        if (std::size_t(length) >= target.size())
            return ENAMETOOLONG; // grew since the look
        return ::symlinkat(std::string(target.data(), std::size_t(length)).c_str(), parent, name.c_str()) == 0
            ? 0
            : errno;
    }
    if (S_ISREG(st.st_mode))
        return copyFileAt(sourceParent, source, parent, name, buffer);
    if (!S_ISDIR(st.st_mode)) {
        // Opening a FIFO would block; an empty file keeps the name.
        Fd out;
        return createFileAt(parent, name, 0644, out);
    }
    // Read through the handle of the folder that was opened: a folder swapped for a link
    // meanwhile is refused, not followed.
    Fd item;
    if (const int error = openItem(sourceParent, source, item, st))
        return error;
    if (!S_ISDIR(st.st_mode))
        return S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    return openFolderOf(item, sourceParent, source, folder);
}

// Makes the folder `name` in `parent`, 0700 until its content is in, and opens it; a folder of
// someone else's renamed onto the name in between is refused (EEXIST).
int makeCopyFolder(int parent, const std::string& name, Fd& made)
{
    if (::mkdirat(parent, name.c_str(), 0700) != 0)
        return errno;
    stepHook(parent, name);
    Fd fd(::openat(parent, name.c_str(), kFolderFlags));
    if (!fd.valid())
        return refusalOf(errno, parent, name);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    if (st.st_uid != ::geteuid())
        return EEXIST;
    made = std::move(fd);
    return 0;
}

// The mode and times of a copied folder, set last: copies made inside would change them again.
int finishFolder(int made, const struct stat& st)
{
    if (::fchmod(made, st.st_mode & kCopiedModeBits) != 0)
        return errno;
    const struct timespec times[2] = {accessTime(st), modifyTime(st)};
    return ::futimens(made, times) == 0 ? 0 : errno;
}

// One walk through the source folder `folder` (whose status is `top`), and one that follows it
// through the copy `copyName` made in `parent`.
int copyFolderAt(Fd folder, const struct stat& top, int parent, const std::string& copyName, CopyBuffer& buffer)
{
    FolderWalk source;
    FolderWalk copy;
    Fd made;
    int error = source.start(std::move(folder));
    if (!error)
        error = makeCopyFolder(parent, copyName, made);
    if (!error)
        error = copy.start(std::move(made), false);
    // Each folder's source status, for its mode and times once its content is in.
    std::vector<struct stat> folders{top};
    struct stat st {};
    while (!error) {
        const int from = source.fd(error);
        const int to = from < 0 ? -1 : copy.fd(error);
        if (to < 0)
            break;
        const std::string* next = source.next();
        if (!next) {
            error = finishFolder(to, folders.back());
            folders.pop_back();
            if (error || source.depth() == 0)
                break;
            source.leave();
            copy.leave();
            continue;
        }
        const std::string child = *next;
        if ((error = copyOneAt(from, child, to, child, buffer, st, folder)) != 0 || !folder.valid())
            continue;
        if ((error = source.enter(child, std::move(folder))) != 0 || (error = makeCopyFolder(to, child, made)) != 0
            || (error = copy.enter(child, std::move(made), false)) != 0)
            break;
        folders.push_back(st);
    }
    return error;
}

int copyItemAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name, CopyBuffer& buffer)
{
    if (!isPlainName(sourceName) || !isPlainName(name))
        return EINVAL;
    const std::string copyName = nameOf(name);
    struct stat st {};
    Fd folder;
    if (const int error = copyOneAt(sourceParent, nameOf(sourceName), parent, copyName, buffer, st, folder))
        return error;
    if (!folder.valid())
        return 0;
    return copyFolderAt(std::move(folder), st, parent, copyName, buffer);
}

} // namespace


int copyAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name)
{
    CopyBuffer buffer;
    return copyItemAt(sourceParent, sourceName, parent, name, buffer);
}

int copyFolder(int folder, int parent, std::string_view name)
{
    if (!isPlainName(name))
        return EINVAL;
    // A handle of its own, read from the start, whatever the caller's has read.
    Fd own(::openat(folder, ".", kFolderFlags));
    if (!own.valid())
        return errno;
    struct stat st {};
    if (::fstat(own.get(), &st) != 0)
        return errno;
    CopyBuffer buffer;
    return copyFolderAt(std::move(own), st, parent, nameOf(name), buffer);
}

int copyContent(int in, int out, std::size_t step)
{
    struct stat st {};
    if (::fstat(in, &st) != 0)
        return errno;
    long long expected = -1;
    if (S_ISREG(st.st_mode)) {
        const off_t at = ::lseek(in, 0, SEEK_CUR);
        if (at < 0)
            return errno;
        expected = at < st.st_size ? st.st_size - at : 0;
    }
    CopyBuffer buffer;
    return copyContentWith(in, out, step, expected, buffer);
}

int copyInto(const std::string& source, int parent, std::string_view name)
{
    std::string path = source;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd above(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!above.valid())
        return errno;
    return copyAt(above.get(), slash == std::string::npos ? path : path.substr(slash + 1), parent, name);
}

int openFileAt(int parent, std::string_view name, Fd& out)
{
    struct stat st {};
    return openRegularAt(parent, name, out, st);
}

int createFileAt(int parent, std::string_view name, mode_t mode, Fd& out)
{
    if (!isPlainName(name))
        return EINVAL;
    Fd fd(::openat(parent, nameOf(name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid())
        return errno;
    out = std::move(fd);
    return 0;
}

} // namespace DirHandle
