#include "engine/BackupFiles.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>

#include "engine/AtomicFile.h"
#include "engine/FsPath.h"

namespace fs = std::filesystem;

namespace {

BackupFiles g_realFiles;
std::atomic<BackupFiles*> g_current{nullptr};

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
        if (!fs::copy_file(source, destination, fs::copy_options::none, ec))
            return ec ? errnoOf(ec) : EEXIST;
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

BackupFiles::~BackupFiles() = default;

int BackupFiles::makePath(const QString& folder)
{
    std::error_code ec;
    fs::create_directories(nativePath(folder), ec);
    if (ec)
        return errnoOf(ec);
    // create_directories accepts nothing but a folder at the end.
    return fs::is_directory(nativePath(folder), ec) ? 0 : ENOTDIR;
}

int BackupFiles::copyTree(const QString& source, const QString& destination)
{
    return copyEntry(nativePath(source), nativePath(destination));
}

int BackupFiles::removeTree(const QString& path)
{
    std::error_code ec;
    fs::remove_all(nativePath(path), ec);
    return errnoOf(ec);
}

int BackupFiles::rename(const QString& from, const QString& to)
{
    std::error_code ec;
    fs::rename(nativePath(from), nativePath(to), ec);
    return errnoOf(ec);
}

int BackupFiles::writeFile(const QString& path, const QByteArray& bytes)
{
    return AtomicFile::write(path, bytes);
}

BackupFiles& BackupFiles::current()
{
    BackupFiles* files = g_current.load();
    return files ? *files : g_realFiles;
}

BackupFiles* BackupFiles::setCurrent(BackupFiles* files)
{
    return g_current.exchange(files);
}
