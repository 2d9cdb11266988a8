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

#include "LoomworkKit/ZFCFolderStack.h"
#include "engine/core/FsPath.h"

namespace {

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

// A template as listed, opened for reading: -1 unless it is a regular file now. What was
// listed as a regular file is never followed should it have become a link; what was listed as
// a link is opened only when it leads to a regular file. Never blocks on a FIFO.
int openTemplate(int dirFd, const char* name, unsigned char listedType, struct stat& st)
{
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (listedType == DT_LNK && (::fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)))
        return -1;
    const int fd = ::openat(dirFd, name, listedType == DT_LNK ? flags : flags | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Depth first without recursion, with a bounded number of open folders: a tree planted in
// the shared library may be deeper than any stack or handle limit.
struct Walker
{
    // A folder being walked: its entries in listing order and the next one to look at.
    struct Pending
    {
        std::vector<ZFCFolderStack::Entry> entries;
        std::size_t next = 0;
        std::size_t pathLength = 0;
        bool insidePackage = false;
    };

    int gather;
    const LibraryWalk::TemplateReader& reader;
    LibraryWalk::Result result;
    std::string path;
    std::vector<Pending> pending;

    void push(ZFCFolderStack& stack, bool insidePackage)
    {
        Pending level;
        level.pathLength = path.size();
        level.insidePackage = insidePackage;
        // A listing that fails midway gives what it read.
        (void)stack.list(level.entries);
        pending.push_back(std::move(level));
    }

    void run(int fd)
    {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        ZFCFolderStack stack(fd);
        const bool wantSize = gather & LibraryWalk::allocatedSize;
        push(stack, false);
        while (!pending.empty()) {
            Pending& level = pending.back();
            if (level.next == level.entries.size()) {
                pending.pop_back();
                stack.leave();
                if (!pending.empty())
                    path.resize(pending.back().pathLength);
                continue;
            }
            const ZFCFolderStack::Entry& entry = level.entries[level.next++];
            const char* name = entry.name.c_str();
            if (name[0] == '.')
                continue;
            if (stack.depth() >= ZFCFolderStack::maxDepth) {
                if (result.tooDeep.empty())
                    result.tooDeep = path + '/' + entry.name;
                level.next = level.entries.size();
                continue;
            }
            unsigned char type = entry.type;
            const bool isTemplate = !level.insidePackage && LibraryWalk::isTemplateName(name);
            // A template about to be read gives its size from the handle opened on it.
            const bool read = isTemplate && reader;
            struct stat st;
            bool haveStat = false;
            if (type == DT_UNKNOWN || (type == DT_REG && wantSize && !read)) {
                const int dirFd = stack.fd();
                if (dirFd < 0) {
                    level.next = level.entries.size(); // the folder is no longer where it was
                    continue;
                }
                if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                haveStat = true;
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_FIFO;
            }
            if (type == DT_LNK && !level.insidePackage && (gather & LibraryWalk::links) && LibraryWalk::isTemplateName(name))
                result.links.push_back(path + '/' + name);
            if (type == DT_DIR) {
                const bool package = level.insidePackage || LibraryWalk::isPackageName(name);
                if (package && !wantSize)
                    continue;
                // Opened without following: a folder swapped for a link meanwhile is passed over.
                if (stack.enter(entry.name) != 0)
                    continue;
                path.push_back('/');
                path.append(name);
                push(stack, package); // `level` and `entry` end here
                continue;
            }
            if (read && (type == DT_REG || type == DT_LNK)) {
                const int dirFd = stack.fd();
                if (dirFd < 0) {
                    level.next = level.entries.size();
                    continue;
                }
                struct stat opened;
                const int fd = openTemplate(dirFd, name, type, opened);
                if (fd >= 0) {
                    if (type == DT_REG && !haveStat) {
                        st = opened;
                        haveStat = true;
                    }
                    reader(fd, opened);
                    ::close(fd);
                } else if (type == DT_REG && wantSize && !haveStat) {
                    // Not ours to read (or no longer a regular file): its size still counts.
                    haveStat = ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
                }
            }
            if (type == DT_REG && haveStat)
                result.allocatedBytes += qint64(st.st_blocks) * 512;
            if ((gather & LibraryWalk::templateFiles) && isTemplate) {
                std::string file = path;
                file.push_back('/');
                file.append(name);
                result.templates.push_back(std::move(file));
            }
        }
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

LibraryWalk::Result LibraryWalk::walk(const std::string& folder, int gather, const TemplateReader& reader)
{
    return walkOpened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder, gather, reader);
}

LibraryWalk::Result LibraryWalk::walkAt(int folderFd, const std::string& shownPath, int gather,
                                        const TemplateReader& reader)
{
    const int fd = ::fcntl(folderFd, F_DUPFD_CLOEXEC, 0);
    // The copy shares its reading position: start from the top whatever was read before.
    if (fd >= 0)
        ::lseek(fd, 0, SEEK_SET);
    return walkOpened(fd, shownPath, gather, reader);
}

LibraryWalk::Result LibraryWalk::walkOpened(int folderFd, const std::string& shownPath, int gather,
                                            const TemplateReader& reader)
{
    Walker walker{gather, reader, {}, shownPath, {}};
    if (folderFd >= 0)
        walker.run(folderFd);
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
