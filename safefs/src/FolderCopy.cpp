#include <SafeFS/DirHandle.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FolderWalk.h"
#include "HeldItem.h"

namespace DirHandle {

namespace {

#if defined(__APPLE__)
struct timespec accessTime(const struct stat& st) { return st.st_atimespec; }
struct timespec modifyTime(const struct stat& st) { return st.st_mtimespec; }
#else
struct timespec accessTime(const struct stat& st) { return st.st_atim; }
struct timespec modifyTime(const struct stat& st) { return st.st_mtim; }
#endif

// Only the permission bits travel: a set-user-ID or set-group-ID bit on another user's file
// must not come along onto a copy that now belongs to us (or to root).
constexpr mode_t kCopiedModeBits = 0777;

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
