#include "engine/files/LibraryWalk.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


#include "engine/core/FsPath.h"

namespace {

// Deeper trees are not real plug-ins; stopping keeps file descriptors in check.
constexpr int kMaxDepth = 128;

bool extensionIn(const char* name, std::initializer_list<const char*> extensions)
{
    const char* dot = std::strrchr(name, '.');
    if (!dot || dot == name)
        return false;
    const char* ext = dot + 1;
    for (const char* candidate : extensions) {
        if (::strcasecmp(ext, candidate) == 0)
            return true;
    }
    return false;
}

struct Walker
{
    int gather;
    LibraryWalk::Result result;
    std::string path;

    void walkDir(int dirFd, int depth, bool insidePackage)
    {
        DIR* dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            return;
        }
        while (dirent* entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.')
                continue;
            unsigned char type = entry->d_type;
            struct stat st;
            bool haveStat = false;
            const bool wantSize = gather & LibraryWalk::allocatedSize;
            if (type == DT_UNKNOWN || (type == DT_REG && wantSize)) {
                if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                haveStat = true;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_FIFO;
            }
            if (type == DT_LNK && !insidePackage && (gather & LibraryWalk::links) && LibraryWalk::isTemplateName(name))
                result.links.push_back(path + '/' + name);
            if (type == DT_DIR) {
                if (depth >= kMaxDepth)
                    continue;
                const bool package = insidePackage || LibraryWalk::isPackageName(name);
                if (package && !wantSize)
                    continue;
                // Opened without following: a folder swapped for a link meanwhile is passed over.
                const int childFd = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (childFd < 0)
                    continue;
                const std::size_t keep = path.size();
                path.push_back('/');
                path.append(name);
                walkDir(childFd, depth + 1, package);
                path.resize(keep);
                continue;
            }
            if (type == DT_REG && haveStat)
                result.allocatedBytes += qint64(st.st_blocks) * 512;
            if ((gather & LibraryWalk::templateFiles) && !insidePackage && LibraryWalk::isTemplateName(name)) {
                std::string file = path;
                file.push_back('/');
                file.append(name);
                result.templates.push_back(std::move(file));
            }
        }
        ::closedir(dir);
    }

    void start(int fd)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        walkDir(fd, 0, false);
    }
};

bool readAll(int fd, qint64 expected, qint64 maxBytes, QByteArray& out)
{
    out.clear();
    out.reserve(qsizetype(expected));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (out.size() + n > maxBytes)
            return false;
        out.append(buffer, qsizetype(n));
    }
}

} // namespace

LibraryWalk::Result LibraryWalk::walk(const std::string& folder, int gather)
{
    Walker walker{gather, {}, folder};
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        walker.start(fd);
    return std::move(walker.result);
}

LibraryWalk::Result LibraryWalk::walkAt(int folderFd, const std::string& shownPath, int gather)
{
    Walker walker{gather, {}, shownPath};
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
        // The copy shares its reading position: start from the top whatever was read before.
        ::lseek(fd, 0, SEEK_SET);
        walker.start(fd);
    }
    return std::move(walker.result);
}

bool LibraryWalk::isTemplateName(const char* name)
{
    return extensionIn(name, {"motn", "moti", "moef", "motr"});
}

bool LibraryWalk::isPackageName(const char* name)
{
    return extensionIn(name, {"app", "appex", "bundle", "component", "fcpbundle", "framework", "kext",
                              "mdimporter", "mpkg", "pkg", "plugin", "prefpane", "qlgenerator", "rtfd",
                              "saver", "xpc"});
}

bool LibraryWalk::readHead(const std::string& path, std::size_t limit, QByteArray& out)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // Never allocate more than the file holds: a huge limit is only a ceiling.
    if (st.st_size >= 0 && std::size_t(st.st_size) < limit)
        limit = std::size_t(st.st_size);
    out.resize(qsizetype(limit));
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, out.data() + got, limit - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a read error counts as the data read so far
        got += std::size_t(n);
    }
    out.resize(qsizetype(got));
    ::close(fd);
    return true;
}

bool LibraryWalk::readRegularFile(const std::string& path, qint64 maxBytes, QByteArray& out, bool followLinks)
{
    struct stat st;
    if (!followLinks && (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return false;
    const bool ok = readOpenFile(fd, maxBytes, out);
    ::close(fd);
    return ok;
}

bool LibraryWalk::readOpenFile(int fd, qint64 maxBytes, QByteArray& out)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes
        && readAll(fd, st.st_size, maxBytes, out);
}

LibraryWalk::Utf8Check LibraryWalk::checkUtf8(const char* data, std::size_t size)
{
    // Templates are mostly ASCII: 16 bytes at a time until a byte with the high bit set,
    // then one sequence decoded in place (the rules of FsPath::utf8SequenceLength).
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        while (i + 16 <= size) {
            std::uint64_t a;
            std::uint64_t b;
            std::memcpy(&a, s + i, 8);
            std::memcpy(&b, s + i + 8, 8);
            a &= kHighBits;
            b &= kHighBits;
            if ((a | b) == 0) {
                i += 16;
                continue;
            }
            if constexpr (std::endian::native == std::endian::little)
                i += a ? std::size_t(std::countr_zero(a)) / 8 : 8 + std::size_t(std::countr_zero(b)) / 8;
            break;
        }
        if (i >= size)
            break;
        // The one sequence decoder of the engine; it is reached only past the ASCII runs.
        const int length = FsPath::utf8SequenceLength(s, size, i);
        if (length < 0)
            return {i, true};
        if (length == 0)
            return {i, false};
        i += std::size_t(length);
    }
    return {size, false};
}
