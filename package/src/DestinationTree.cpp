#include "DestinationTree.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"

namespace fs = std::filesystem;

namespace kit {

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
    m_dest = dest;
    struct stat st {};
    if (::lstat(m_dest.c_str(), &st) == 0) {
        if (!overwrite)
            return false;
        fs::remove_all(m_dest);
    }
    fs::create_directories(m_dest);
    forgetChecked();
    for (const ZFCEntry& entry : plugin.items) {
        if (entry.type != "directory")
            continue;
        const auto parts = storedComponents(entry.path);
        ensureFolders(entry.path, parts, parts.size(), true);
    }
    return true;
}

ZFCFileHandle DestinationTree::createFile(const std::string& rel)
{
    const auto parts = storedComponents(rel);
    const fs::path path = ensureFolders(rel, parts, parts.size() - 1, true);
    // Opened first; an item in the way (a repeated path) is removed only then.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST) {
        removeExisting(path);
        fd = ::open(path.c_str(), flags, 0666);
    }
    if (fd < 0)
        throw ZFCPackageError::failure(ZFCPackageError::Kind::fileCreateFailed, path.string());
    return ZFCFileHandle::adopt(fd, path);
}

void DestinationTree::makeLinks(const ZFCPlugin& plugin)
{
    // Links may have replaced folders checked earlier: check afresh from here on.
    forgetChecked();
    for (const ZFCEntry& entry : plugin.items) {
        if (entry.type != "link")
            continue;
        const auto parts = storedComponents(entry.path);
        const fs::path path = ensureFolders(entry.path, parts, parts.size() - 1, false);
        const auto target = entry.link ? ZFCPackageReader::safeLinkTarget(*entry.link, path, m_dest) : std::nullopt;
        if (!target) {
            removeExisting(path);
            continue;
        }
        // Created first; whatever is in the way is removed only when it is there.
        if (::symlink(target->c_str(), path.c_str()) != 0) {
            if (errno != EEXIST)
                throwErrno("cannot create link", path);
            removeExisting(path);
            if (::symlink(target->c_str(), path.c_str()) != 0)
                throwErrno("cannot create link", path);
        }
    }
}

fs::path DestinationTree::ensureFolders(const std::string& rel, const std::vector<std::string>& parts, std::size_t count,
                                        bool useCache)
{
    fs::path path = m_dest;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        path /= parts[i];
        if (i >= count)
            continue;
        if (useCache && m_verified.count(path.string()))
            continue;
        // Made first; only what is already there needs a look (a link must not lead on).
        if (::mkdir(path.c_str(), 0777) != 0) {
            if (errno != EEXIST)
                throwErrno("cannot create directory", path);
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0)
                throwErrno("cannot stat", path);
            if (S_ISLNK(st.st_mode))
                throw ZFCPackageError::failure(ZFCPackageError::Kind::pathEscapes, rel);
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                throwErrno("cannot create directory", path);
            }
        }
        m_verified.insert(path.string());
    }
    return path;
}

void DestinationTree::removeExisting(const fs::path& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        // Folders below it leave the cache with it.
        const std::string prefix = path.string() + "/";
        for (auto it = m_verified.lower_bound(prefix); it != m_verified.end() && it->compare(0, prefix.size(), prefix) == 0;)
            it = m_verified.erase(it);
        m_verified.erase(path.string());
    }
    fs::remove_all(path);
}

void DestinationTree::forgetChecked()
{
    m_verified.clear();
    m_verified.insert(m_dest.string());
}

} // namespace kit
