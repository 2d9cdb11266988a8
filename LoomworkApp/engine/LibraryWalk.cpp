#include "engine/LibraryWalk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>

#include "engine/FsPath.h"
#include "engine/SystemError.h"

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
            if (name[0] == '.') {
                if ((gather & LibraryWalk::rewriteTemporaries) && !insidePackage && LibraryWalk::isStagedName(name))
                    result.rewriteTemporaries.push_back(path + '/' + name);
                continue;
            }
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
            if (type == DT_DIR) {
                if (depth >= kMaxDepth)
                    continue;
                const bool package = insidePackage || LibraryWalk::isPackageName(name);
                if (package && !wantSize)
                    continue;
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
    while (walker.path.size() > 1 && walker.path.back() == '/')
        walker.path.pop_back();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0)
        walker.walkDir(fd, 0, false);
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
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= maxBytes
        && readAll(fd, st.st_size, maxBytes, out);
    ::close(fd);
    return ok;
}

namespace {

constexpr char kStagedPrefix[] = ".loomwork-rewrite-";
constexpr std::size_t kStagedDigits = 16;

QString describeFailure(const std::string& path, int code)
{
    return FsPath::displayText(FsPath::fromBytes(path.substr(path.find_last_of('/') + 1))) + QStringLiteral("：")
        + SystemError::describe(code);
}

} // namespace

LibraryWalk::StagedFile::StagedFile(StagedFile&& other) noexcept
    : m_path(std::move(other.m_path)), m_temp(std::exchange(other.m_temp, {}))
{
}

LibraryWalk::StagedFile& LibraryWalk::StagedFile::operator=(StagedFile&& other) noexcept
{
    if (this != &other) {
        discard();
        m_path = std::move(other.m_path);
        m_temp = std::exchange(other.m_temp, {});
    }
    return *this;
}

LibraryWalk::StagedFile::~StagedFile()
{
    discard();
}

void LibraryWalk::StagedFile::discard()
{
    if (!m_temp.empty())
        ::unlink(m_temp.c_str());
    m_temp.clear();
}

bool LibraryWalk::StagedFile::stage(const std::string& path, const QByteArray& bytes, QString& error)
{
    discard();
    m_path = path;
    const auto fail = [&](int code) {
        error = describeFailure(path, code);
        return false;
    };
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return fail(errno);
    // A short name of our own: a template's name may be as long as the system allows.
    const std::string folder = path.substr(0, path.find_last_of('/') + 1);
    int fd = -1;
    std::string temp;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        char digits[kStagedDigits + 1];
        std::snprintf(digits, sizeof digits, "%016llx",
                      static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
        temp = folder + kStagedPrefix + digits;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return fail(errno);
    }
    if (fd < 0)
        return fail(EEXIST);
    m_temp = temp;
    const auto abandon = [&](int code) {
        ::close(fd);
        discard();
        return fail(code);
    };
    ::fchmod(fd, st.st_mode & 07777);
    if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        // Not our file to give away: it keeps our ownership, as any editor would leave it.
    }
    const char* data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return abandon(n < 0 ? errno : ENOSPC);
        data += n;
        left -= std::size_t(n);
    }
    if (::fsync(fd) != 0)
        return abandon(errno);
    if (::close(fd) != 0) {
        const int code = errno;
        discard();
        return fail(code);
    }
    return true;
}

bool LibraryWalk::StagedFile::commit(QString& error)
{
    if (m_temp.empty() || ::rename(m_temp.c_str(), m_path.c_str()) != 0) {
        error = describeFailure(m_path, m_temp.empty() ? ENOENT : errno);
        return false;
    }
    m_temp.clear();
    return true;
}

bool LibraryWalk::isStagedName(const char* name)
{
    const std::size_t prefix = sizeof kStagedPrefix - 1;
    if (std::strncmp(name, kStagedPrefix, prefix) != 0 || std::strlen(name) != prefix + kStagedDigits)
        return false;
    for (std::size_t i = prefix; i < prefix + kStagedDigits; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

void LibraryWalk::removeStaleStaged(const std::vector<std::string>& paths,
                                    std::chrono::system_clock::time_point olderThan)
{
    const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(olderThan.time_since_epoch()).count();
    for (const std::string& path : paths) {
        struct stat st;
        if (!isStagedName(path.c_str() + path.find_last_of('/') + 1) || ::lstat(path.c_str(), &st) != 0
            || !S_ISREG(st.st_mode))
            continue;
        // A younger one may be another run's rewrite in progress.
        const auto changed = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        if (changed < limit)
            ::unlink(path.c_str());
    }
}

LibraryWalk::Utf8Check LibraryWalk::checkUtf8(const char* data, std::size_t size)
{
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        const int length = FsPath::utf8SequenceLength(s, size, i);
        if (length <= 0)
            return {i, length < 0};
        i += std::size_t(length);
    }
    return {size, false};
}

