#include "engine/FileOps.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__) && !defined(RENAME_EXCHANGE)
#include <sys/syscall.h>
#endif

#include "engine/AtomicFile.h"
#include "engine/FsPath.h"

namespace fs = std::filesystem;

namespace {

FileOps g_realFiles;
std::atomic<FileOps*> g_current{nullptr};

fs::path nativePath(const QString& path)
{
    return FsPath::toNative(path);
}

int errnoOf(const std::error_code& ec)
{
    if (!ec)
        return 0;
    return ec.category() == std::generic_category() || ec.category() == std::system_category() ? ec.value()
                                                                                                 : EIO;
}

// Byte by byte, keeping the errno of a failed write: std::filesystem::copy_file reports a
// full disk as EIO. A partial copy is removed.
int copyFile(const fs::path& source, const fs::path& destination, fs::perms perms)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return errno;
    const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < got && !error;) {
            const ssize_t put = ::write(out, buffer.data() + done, size_t(got - done));
            if (put < 0 && errno != EINTR)
                error = errno;
            else if (put > 0)
                done += put;
        }
        if (error)
            break;
    }
    if (!error && ::fchmod(out, mode_t(perms) & 07777) != 0)
        error = errno;
    if (::close(out) != 0 && !error)
        error = errno;
    ::close(in);
    if (error)
        ::unlink(destination.c_str());
    return error;
}

// Adds the owner's write and search rights to every folder below `path` (links are not
// followed), so that remove_all can empty them.
void makeRemovable(const fs::path& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        makeRemovable(it->path());
}

int copyEntry(const fs::path& source, const fs::path& destination)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(source, ec);
    if (ec)
        return errnoOf(ec);
    switch (status.type()) {
    case fs::file_type::symlink:
        fs::copy_symlink(source, destination, ec);
        return errnoOf(ec);
    case fs::file_type::directory: {
        if (!fs::create_directory(destination, ec))
            return ec ? errnoOf(ec) : EEXIST;
        fs::directory_iterator it(source, ec);
        if (ec)
            return errnoOf(ec);
        for (const fs::directory_entry& entry : it) {
            if (const int error = copyEntry(entry.path(), destination / entry.path().filename()))
                return error;
        }
        // A read-only folder gets its mode only once its copies are in it.
        fs::permissions(destination, status.permissions(), ec);
        break;
    }
    case fs::file_type::regular:
        if (const int error = copyFile(source, destination, status.permissions()))
            return error;
        break;
    default: {
        // Opening a FIFO would block; an empty file keeps the name.
        const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    }
    }
    // Last, so that the copies made inside a folder do not touch its time again.
    const auto time = fs::last_write_time(source, ec);
    if (!ec)
        fs::last_write_time(destination, time, ec);
    return 0;
}

} // namespace

FileOps::~FileOps() = default;

int FileOps::makePath(const QString& folder)
{
    std::error_code ec;
    fs::create_directories(nativePath(folder), ec);
    if (ec)
        return errnoOf(ec);
    // create_directories accepts nothing but a folder at the end.
    return fs::is_directory(nativePath(folder), ec) ? 0 : ENOTDIR;
}

int FileOps::copyTree(const QString& source, const QString& destination)
{
    return copyEntry(nativePath(source), nativePath(destination));
}

int FileOps::makeFolder(const QString& folder)
{
    return ::mkdir(nativePath(folder).c_str(), 0755) == 0 ? 0 : errno;
}

int FileOps::removeTree(const QString& path)
{
    const fs::path native = nativePath(path);
    std::error_code ec;
    fs::remove_all(native, ec);
    if (ec && (ec.value() == EACCES || ec.value() == EPERM)) {
        makeRemovable(native);
        ec.clear();
        fs::remove_all(native, ec);
    }
    return errnoOf(ec);
}

bool FileOps::exists(const QString& path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(nativePath(path).c_str(), &st) == 0;
}

int FileOps::rename(const QString& from, const QString& to)
{
    std::error_code ec;
    fs::rename(nativePath(from), nativePath(to), ec);
    return errnoOf(ec);
}

int FileOps::renameNoReplace(const QString& from, const QString& to)
{
    const fs::path source = nativePath(from);
    const fs::path target = nativePath(to);
#if defined(__APPLE__)
    return ::renamex_np(source.c_str(), target.c_str(), RENAME_EXCL) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_NOREPLACE)
    return ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
#else
    return ENOSYS;
#endif
}

int FileOps::exchange(const QString& a, const QString& b)
{
    const fs::path first = nativePath(a);
    const fs::path second = nativePath(b);
#if defined(__APPLE__)
    return ::renamex_np(first.c_str(), second.c_str(), RENAME_SWAP) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(RENAME_EXCHANGE)
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0 ? 0 : errno;
#elif defined(__linux__) && defined(SYS_renameat2)
    // An older C library without the wrapper; the kernel may still have the call.
    return ::syscall(SYS_renameat2, AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), 1 << 1) == 0 ? 0 : errno;
#else
    return ENOSYS;
#endif
}

bool FileOps::refusesExchange(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

int FileOps::writeFile(const QString& path, const QByteArray& bytes)
{
    return AtomicFile::write(path, bytes);
}

FileOps& FileOps::current()
{
    FileOps* files = g_current.load();
    return files ? *files : g_realFiles;
}

FileOps* FileOps::setCurrent(FileOps* files)
{
    return g_current.exchange(files);
}
