#include "engine/files/FileOps.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStringList>

#include "engine/core/AtomicFile.h"
#include <SafeFS/DirHandle.h>
#include "engine/core/FsPath.h"
#include "engine/files/SystemPath.h"

namespace fs = std::filesystem;

namespace {

FileOps g_realFiles;
std::atomic<FileOps*> g_current{nullptr};

int errnoOf(const std::error_code& ec)
{
    if (!ec)
        return 0;
    return ec.category() == std::generic_category() || ec.category() == std::system_category() ? ec.value()
                                                                                                 : EIO;
}

// Where an operation acts: the open folder holding the item, and the item's name in it.
struct Place {
    DirHandle::Fd parent;
    std::string name;
};

// Splits "a/b/c" into the folder "a/b" and the name "c"; a trailing "/" is dropped.
struct Split {
    std::string folder;
    std::string name;
};
Split splitLast(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(1, '.'), path};
    return {slash == 0 ? std::string(1, '/') : path.substr(0, slash), path.substr(slash + 1)};
}

// In the system library, every folder from the root down to the item is opened without
// following links, so a folder swapped for a link stops the operation here (ELOOP) instead of
// leading it elsewhere; the acts that follow are relative to the handle. Elsewhere the
// folder is opened as the path says, links and all.
int locate(const QString& path, Place& out)
{
    if (const auto in = SystemPath::inside(path)) {
        if (in->relative.isEmpty()) {
            // The root itself: what is above it is not the library's.
            const Split split = splitLast(FsPath::toBytes(in->root));
            out.name = split.name;
            DirHandle::Fd parent(::open(split.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!parent.valid())
                return errno;
            out.parent = std::move(parent);
            return DirHandle::isPlainName(out.name) ? 0 : EINVAL;
        }
        const QStringList parts = in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (parts.isEmpty())
            return EINVAL;
        const std::string below = FsPath::toBytes(parts.mid(0, parts.size() - 1).join(QLatin1Char('/')));
        out.name = FsPath::toBytes(parts.last());
        if (!DirHandle::isPlainName(out.name))
            return EINVAL;
        return DirHandle::openPath(FsPath::toBytes(in->root), below, out.parent);
    }
    const Split split = splitLast(FsPath::toBytes(path));
    out.name = split.name;
    if (!DirHandle::isPlainName(out.name))
        return EINVAL;
    DirHandle::Fd parent(::open(split.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid())
        return errno;
    out.parent = std::move(parent);
    return 0;
}


int move(const QString& from, const QString& to, DirHandle::Rename how)
{
    Place source;
    Place target;
    if (const int error = locate(from, source))
        return error;
    if (const int error = locate(to, target))
        return error;
    return DirHandle::renameAt(source.parent.get(), source.name, target.parent.get(), target.name, how);
}

} // namespace

FileOps::~FileOps() = default;

int FileOps::makePath(const QString& folder)
{
    const auto in = SystemPath::inside(folder);
    if (!in) {
        std::error_code ec;
        fs::create_directories(FsPath::toNative(folder), ec);
        if (ec)
            return errnoOf(ec);
        // create_directories accepts nothing but a folder at the end.
        return fs::is_directory(FsPath::toNative(folder), ec) ? 0 : ENOTDIR;
    }
    // Down from the root one handle at a time, each folder made where it is missing.
    const std::string root = FsPath::toBytes(in->root);
    DirHandle::Fd at;
    int error = DirHandle::openRoot(root, at);
    if (error == ENOENT) {
        std::error_code ec;
        fs::create_directories(root, ec);
        error = ec ? errnoOf(ec) : DirHandle::openRoot(root, at);
    }
    for (const QString& part : in->relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (error)
            break;
        const std::string name = FsPath::toBytes(part);
        error = DirHandle::makeFolderAt(at.get(), name, 0777);
        if (error == EEXIST || error == 0) {
            DirHandle::Fd next;
            error = DirHandle::openChild(at.get(), name, next);
            at = std::move(next);
        }
    }
    return error;
}

int FileOps::copyTree(const QString& source, const QString& destination)
{
    // The source is located as the target is: a backup of a system plug-in reads nothing
    // through a folder swapped for a link.
    Place from;
    Place place;
    if (const int error = locate(source, from))
        return error;
    if (const int error = locate(destination, place))
        return error;
    return DirHandle::copyAt(from.parent.get(), from.name, place.parent.get(), place.name);
}

int FileOps::copyFolder(int folder, const QString& destination)
{
    Place place;
    if (const int error = locate(destination, place))
        return error;
    return DirHandle::copyFolder(folder, place.parent.get(), place.name);
}

int FileOps::makeFolder(const QString& folder)
{
    Place place;
    if (const int error = locate(folder, place))
        return error;
    return DirHandle::makeFolderAt(place.parent.get(), place.name, 0755);
}

int FileOps::removeTree(const QString& path)
{
    Place place;
    if (const int error = locate(path, place))
        return error == ENOENT ? 0 : error;
    return DirHandle::removeAt(place.parent.get(), place.name);
}

bool FileOps::exists(const QString& path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(FsPath::toNative(path).c_str(), &st) == 0;
}

int FileOps::rename(const QString& from, const QString& to)
{
    return move(from, to, DirHandle::Rename::replace);
}

int FileOps::renameNoReplace(const QString& from, const QString& to)
{
    return move(from, to, DirHandle::Rename::noReplace);
}

int FileOps::exchange(const QString& a, const QString& b)
{
    return move(a, b, DirHandle::Rename::exchange);
}

int FileOps::stepFault(Step, const QString&)
{
    return 0;
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
