#include <SafeFS/DirHandle.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__) && !defined(RENAME_EXCHANGE)
#include <sys/syscall.h>
#endif

namespace DirHandle {

namespace {

std::atomic<bool> g_flagsRefused{false};

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

// Sets `mode` on the item `name` in `parent` as it is when opened: never through a link, and
// never on a file that has other names (a hard link may lead anywhere); `folder` asks that it
// be a folder.
int chmodItemAt(int parent, const std::string& name, mode_t mode, bool folder)
{
#if defined(__linux__)
    Fd item(::openat(parent, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)));
    if (!item.valid())
        return refusalOf(errno, parent, name);
    struct stat st {};
    if (::fstat(item.get(), &st) != 0)
        return errno;
    if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && st.st_nlink > 1))
        return 0;
    // The handle's own entry in /proc names the inode that was opened, whatever the name
    // holds by now.
    char opened[40];
    std::snprintf(opened, sizeof opened, "/proc/self/fd/%d", item.get());
    if (::chmod(opened, mode) == 0)
        return 0;
    if (errno != ENOENT)
        return errno;
#endif
    // Without /proc: by name, never following a link, with the same answers as above.
    struct stat now {};
    if (::fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (folder && !S_ISDIR(now.st_mode))
        return S_ISLNK(now.st_mode) ? ELOOP : ENOTDIR;
    if (S_ISLNK(now.st_mode) || (!S_ISDIR(now.st_mode) && now.st_nlink > 1))
        return 0;
    if (::fchmodat(parent, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0)
        return 0;
    // Linux refuses this for a link (swapped in since the look, and left alone), and so do
    // C libraries that need /proc for it: then the mode was not set, and the caller hears so.
    const int error = errno;
    if (error == EOPNOTSUPP && ::fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(now.st_mode))
        return folder ? ELOOP : 0;
    return error;
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
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
        errno = 0;
    }
    const int error = errno;
    ::closedir(dir);
    return error;
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

// One folder of a walk: its handle, its names, the next to visit, and its path inside the
// walk's top folder (for what is left and for messages).
struct Level {
    Fd fd;
    std::vector<std::string> names;
    std::size_t next = 0;
    std::string path;
    bool keeps = false; // something left inside: the folder stays too
};

std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

// A folder of ours that we may not list or empty is opened to us first; the change never
// follows a link.
int openToUs(int parent, const std::string& name, const struct stat& st)
{
    if ((st.st_mode & S_IRWXU) == S_IRWXU || (st.st_uid != ::geteuid() && ::geteuid() != 0))
        return 0;
    return chmodItemAt(parent, name, (st.st_mode & 07777) | S_IRWXU, true);
}

} // namespace

int emptyFolder(int folder, const Owners& owners, std::vector<std::string>& left)
{
    std::vector<Level> stack;
    stack.emplace_back();
    stack.back().fd = Fd(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!stack.back().fd.valid())
        return errno;
    if (const int error = listNames(stack.back().fd.get(), stack.back().names))
        return error;
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            const bool keeps = level.keeps;
            const std::string name = level.path.substr(level.path.find_last_of('/') + 1);
            stack.pop_back();
            if (stack.empty())
                break;
            if (keeps) {
                stack.back().keeps = true;
                continue;
            }
            if (::unlinkat(stack.back().fd.get(), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
                // Something put in since it was listed (a handle kept from before it moved
                // here): it is left, and so is the folder.
                if (errno != ENOTEMPTY && errno != EEXIST)
                    return errno;
                left.push_back(level.path);
                stack.back().keeps = true;
            }
            continue;
        }
        const std::string name = level.names[level.next++];
        struct stat st {};
        if (::fstatat(level.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return errno;
        }
        if (!owners.allows(st.st_uid)) {
            left.push_back(joined(level.path, name));
            level.keeps = true;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(level.fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
                if (errno != EISDIR)
                    return errno;
                --level.next; // swapped for a folder since the look: looked at again
            }
            continue;
        }
        if (stack.size() >= kMaxTreeDepth)
            return ENAMETOOLONG;
        if (const int error = openToUs(level.fd.get(), name, st))
            return error;
        Level child;
        if (const int error = openChild(level.fd.get(), name, child.fd)) {
            if (error == ENOENT)
                continue;
            if (error == ELOOP || error == ENOTDIR) {
                --level.next; // swapped for a file or a link since the look: looked at again
                continue;
            }
            return error;
        }
        child.path = joined(level.path, name);
        if (const int error = listNames(child.fd.get(), child.names))
            return error;
        stack.push_back(std::move(child));
    }
    return 0;
}

int removeAt(int parent, std::string_view name)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
    struct stat st {};
    if (::fstatat(parent, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(parent, entry.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    Fd folder;
    int error = openToUs(parent, entry, st);
    if (!error)
        error = openChild(parent, name, folder);
    if (error) {
        // Swapped for a file or a link since the look: remove that instead of following it.
        if (error == ELOOP || error == ENOTDIR)
            return ::unlinkat(parent, entry.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
        return error == ENOENT ? 0 : error;
    }
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
    struct stat st {};
    if (::fstatat(parent, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (S_ISLNK(st.st_mode))
        return 0;
    if (!S_ISDIR(st.st_mode))
        return chmodItemAt(parent, entry, mode, false);
    std::vector<Level> stack;
    stack.emplace_back();
    if (const int error = openChild(parent, name, stack.back().fd))
        return error == ELOOP ? 0 : error;
    if (::fchmod(stack.back().fd.get(), mode) != 0)
        return errno;
    if (const int error = listNames(stack.back().fd.get(), stack.back().names))
        return error;
    int first = 0;
    const auto note = [&first](int error) {
        if (error && error != ENOENT && !first)
            first = error;
    };
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next == level.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string child = level.names[level.next++];
        if (::fstatat(level.fd.get(), child.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            note(errno);
            continue;
        }
        if (S_ISLNK(st.st_mode))
            continue;
        if (!S_ISDIR(st.st_mode)) {
            note(chmodItemAt(level.fd.get(), child, mode, false));
            continue;
        }
        if (stack.size() >= kMaxTreeDepth) {
            note(ENAMETOOLONG);
            continue;
        }
        Level below;
        if (const int error = openChild(level.fd.get(), child, below.fd)) {
            note(error == ELOOP ? 0 : error);
            continue;
        }
        if (::fchmod(below.fd.get(), mode) != 0) {
            note(errno);
            continue;
        }
        if (const int error = listNames(below.fd.get(), below.names)) {
            note(error);
            continue;
        }
        stack.push_back(std::move(below));
    }
    return first;
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

namespace {

// Copies one item that is not a folder; a folder is made (0700 until its content is in) and
// opened as `made`, with `opened` the source folder's handle and `st` its status.
int copyOneAt(int sourceParent, const std::string& source, int parent, const std::string& name, CopyBuffer& buffer,
              struct stat& st, Fd& opened, Fd& made)
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
    if (const int error = openChild(sourceParent, source, opened))
        return error;
    if (::fstat(opened.get(), &st) != 0)
        return errno;
    if (::mkdirat(parent, name.c_str(), 0700) != 0)
        return errno;
    return openChild(parent, name, made);
}

// The mode and times of a copied folder, set last: copies made inside would change them again.
int finishFolder(int made, const struct stat& st)
{
    if (::fchmod(made, st.st_mode & kCopiedModeBits) != 0)
        return errno;
    const struct timespec times[2] = {accessTime(st), modifyTime(st)};
    return ::futimens(made, times) == 0 ? 0 : errno;
}

int copyItemAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name, CopyBuffer& buffer)
{
    if (!isPlainName(sourceName) || !isPlainName(name))
        return EINVAL;
    struct Copying {
        Level source;
        Fd made;
        struct stat st {};
    };
    std::vector<Copying> stack(1);
    if (const int error = copyOneAt(sourceParent, nameOf(sourceName), parent, nameOf(name), buffer, stack[0].st,
                                    stack[0].source.fd, stack[0].made))
        return error;
    if (!stack[0].made.valid())
        return 0;
    if (const int error = listNames(stack[0].source.fd.get(), stack[0].source.names))
        return error;
    while (!stack.empty()) {
        Copying& top = stack.back();
        if (top.source.next == top.source.names.size()) {
            const int error = finishFolder(top.made.get(), top.st);
            stack.pop_back();
            if (error)
                return error;
            continue;
        }
        const std::string child = top.source.names[top.source.next++];
        Copying below;
        if (const int error = copyOneAt(top.source.fd.get(), child, top.made.get(), child, buffer, below.st,
                                        below.source.fd, below.made))
            return error;
        if (!below.made.valid())
            continue;
        if (stack.size() >= kMaxTreeDepth)
            return ENAMETOOLONG;
        if (const int error = listNames(below.source.fd.get(), below.source.names))
            return error;
        stack.push_back(std::move(below));
    }
    return 0;
}

} // namespace

int copyAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name)
{
    CopyBuffer buffer;
    return copyItemAt(sourceParent, sourceName, parent, name, buffer);
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
