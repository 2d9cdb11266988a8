#include "DestinationTree.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"

namespace fs = std::filesystem;

namespace kit {

namespace {

// A path longer than the system can name stays refused, as it was when every item was made
// by its whole path: whatever works on the plug-in later names its items whole.
bool tooLong(const fs::path& path)
{
    return path.native().size() >= PATH_MAX;
}

} // namespace

std::vector<std::string> storedComponents(std::string_view rel)
{
    std::string s(rel);
    std::replace(s.begin(), s.end(), '\\', '/');
    if (s.empty() || s.front() == '/' || s.find('\0') != std::string::npos)
        throw ZFCPackageError::failure(ZFCPackageError::Kind::pathInvalid, std::string(rel));
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t slash = std::min(s.find('/', start), s.size());
        std::string part = s.substr(start, slash - start);
        if (part == "." || part == "..")
            throw ZFCPackageError::failure(ZFCPackageError::Kind::pathInvalid, std::string(rel));
        if (!part.empty())
            parts.push_back(std::move(part));
        start = slash + 1;
    }
    return parts;
}

bool DestinationTree::begin(const fs::path& dest, const ZFCPlugin& plugin, bool overwrite)
{
    m_folders.reset();
    m_top = -1;
    m_at.clear();
    m_dest = dest;
    struct stat st {};
    if (::lstat(m_dest.c_str(), &st) == 0) {
        if (!overwrite)
            return false;
        fs::remove_all(m_dest);
    }
    fs::create_directories(m_dest);
    // Its path is walked this once; everything below goes through handles.
    const int top = ::open(m_dest.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0)
        throwErrno("cannot open directory", m_dest);
    m_folders = std::make_unique<ZFCFolderStack>(top);
    m_top = top;
    for (const ZFCEntry& entry : plugin.items) {
        if (entry.type != "directory")
            continue;
        const auto parts = storedComponents(entry.path);
        enterFolders(entry.path, parts, parts.size());
    }
    return true;
}

ZFCFileHandle DestinationTree::createFile(const std::string& rel)
{
    const auto parts = storedComponents(rel);
    const int folder = enterFolders(rel, parts, parts.size() - 1);
    const char* name = parts.back().c_str();
    fs::path path = pathOf(parts, parts.size());
    if (tooLong(path))
        throw ZFCPackageError::failure(ZFCPackageError::Kind::fileCreateFailed, path.string());
    // Opened first; an item in the way (a repeated path) is removed only then.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(folder, name, flags, 0666);
    if (fd < 0 && errno == EEXIST) {
        removeExisting(folder, parts.back(), path);
        fd = ::openat(folder, name, flags, 0666);
    }
    if (fd < 0)
        throw ZFCPackageError::failure(ZFCPackageError::Kind::fileCreateFailed, path.string());
    return ZFCFileHandle::adopt(fd, std::move(path));
}

DestinationTree DestinationTree::branch() const
{
    // The same folder, not its path walked again: a copy of the handle.
    const int top = m_top < 0 ? -1 : ::fcntl(m_top, F_DUPFD_CLOEXEC, 0);
    if (top < 0)
        throwErrno("cannot open directory", m_dest);
    DestinationTree tree;
    tree.m_dest = m_dest;
    tree.m_folders = std::make_unique<ZFCFolderStack>(top);
    tree.m_top = top;
    return tree;
}

void DestinationTree::makeLinks(const ZFCPlugin& plugin)
{
    for (const ZFCEntry& entry : plugin.items) {
        if (entry.type != "link")
            continue;
        const auto parts = storedComponents(entry.path);
        const int folder = enterFolders(entry.path, parts, parts.size() - 1);
        const std::string& name = parts.back();
        const fs::path path = pathOf(parts, parts.size());
        const auto target = entry.link ? ZFCPackageReader::safeLinkTarget(*entry.link, path, m_dest) : std::nullopt;
        if (!target) {
            removeExisting(folder, name, path);
            continue;
        }
        if (tooLong(path)) {
            errno = ENAMETOOLONG;
            throwErrno("cannot create link", path);
        }
        // Created first; whatever is in the way is removed only when it is there.
        if (::symlinkat(target->c_str(), folder, name.c_str()) != 0) {
            if (errno != EEXIST)
                throwErrno("cannot create link", path);
            removeExisting(folder, name, path);
            if (::symlinkat(target->c_str(), folder, name.c_str()) != 0)
                throwErrno("cannot create link", path);
        }
    }
}

int DestinationTree::enterFolders(const std::string& rel, const std::vector<std::string>& parts, std::size_t count)
{
    // The folders held so far stay as far as they lead the same way.
    std::size_t same = 0;
    while (same < m_at.size() && same < count && m_at[same] == parts[same])
        ++same;
    while (m_at.size() > same) {
        m_folders->leave();
        m_at.pop_back();
    }
    for (std::size_t i = same; i < count; ++i) {
        enterOrMake(rel, parts, i);
        m_at.push_back(parts[i]);
    }
    const int folder = m_folders->fd();
    if (folder < 0) {
        const int error = errno;
        const fs::path path = pathOf(parts, count);
        errno = error;
        throwErrno("cannot open directory", path);
    }
    return folder;
}

void DestinationTree::enterOrMake(const std::string& rel, const std::vector<std::string>& parts, std::size_t index)
{
    const std::string& name = parts[index];
    const auto fail = [&](int error, const char* what) {
        const fs::path path = pathOf(parts, index + 1);
        errno = error;
        throwErrno(what, path);
    };
    if (tooLong(pathOf(parts, index + 1)))
        fail(ENAMETOOLONG, "cannot create directory");
    const int parent = m_folders->fd();
    if (parent < 0)
        fail(errno, "cannot open directory");
    int error = m_folders->enter(name);
    if (error == ENOENT) {
        // Made first where missing; what is already there is entered without following it.
        if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)
            fail(errno, "cannot create directory");
        error = m_folders->enter(name);
    }
    if (error == 0)
        return;
    struct stat st {};
    if (error == ELOOP || (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)))
        throw ZFCPackageError::failure(ZFCPackageError::Kind::pathEscapes, rel);
    fail(error, "cannot create directory");
}

void DestinationTree::removeExisting(int folder, const std::string& name, const fs::path& path)
{
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT)
            throwErrno("cannot remove", path);
        return;
    }
    // Never one of the held folders: those lead to `folder` itself.
    fs::remove_all(path);
}

fs::path DestinationTree::pathOf(const std::vector<std::string>& parts, std::size_t count) const
{
    fs::path path = m_dest;
    for (std::size_t i = 0; i < count && i < parts.size(); ++i)
        path /= parts[i];
    return path;
}

} // namespace kit
