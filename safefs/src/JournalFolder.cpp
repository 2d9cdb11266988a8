#include <SafeFS/Journal.h>

#include <algorithm>
#include <map>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <cstdlib>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#include <sys/sysmacros.h>
#else
#include <stdlib.h>
#endif

#include <SafeFS/DirHandle.h>
#include <SafeFS/Room.h>
#include "JournalText.h"

namespace SafeFS {

using namespace JournalText;

Journal::~Journal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

// Whether a folder on the way to the journal is safe to pass: root's or ours, and where others
// may write in it, sticky (they cannot rename what is ours there).
bool isSafeStep(const struct stat& st)
{
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && ((st.st_mode & 022) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Search rights are all a walk needs (a folder on the way may be 0711).
#if defined(O_PATH)
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Every folder from "/" to the one holding `folder`: a link on the way is passed only when it
// is root's or ours, and what it leads to must pass too.
int checkWay(const std::string& folder, std::string* refusedAt)
{
    const auto refuse = [&](const std::string& path) {
        if (refusedAt)
            *refusedAt = path.empty() ? std::string("/") : path;
        return EPERM;
    };
    DirHandle::Fd at(::open("/", kWalkFlags));
    if (!at.valid())
        return errno;
    struct stat st {};
    if (::fstat(at.get(), &st) != 0)
        return errno;
    if (!isSafeStep(st))
        return refuse("/");
    const std::size_t last = folder.rfind('/');
    std::string path;
    for (std::size_t start = 1; start < last;) {
        const std::size_t slash = folder.find('/', start);
        const std::size_t end = slash == std::string::npos || slash > last ? last : slash;
        const std::string part = folder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        path += "/" + part;
        if (::fstatat(at.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != ::geteuid())
            return refuse(path);
        DirHandle::Fd next(::openat(at.get(), part.c_str(), kWalkFlags));
        if (!next.valid())
            return errno;
        if (::fstat(next.get(), &st) != 0)
            return errno;
        if (!isSafeStep(st))
            return refuse(path);
        at = std::move(next);
    }
    return 0;
}

} // namespace

int Journal::open(const std::string& folder, std::string* refusedAt)
{
    if (folder.empty() || folder.front() != '/')
        return EINVAL;
    if (const int error = checkWay(folder, refusedAt))
        return error;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if ((errno == ELOOP || errno == ENOTDIR) && refusedAt)
            *refusedAt = folder;
        return errno;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
        ::close(fd);
        if (refusedAt)
            *refusedAt = folder;
        return EPERM;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_path = folder;
    return 0;
}

int Journal::write(const JournalEntry& entry) const
{
    if (m_fd < 0 || !isId(entry.id))
        return EINVAL;
    return writeEntryAt(m_fd, entry.id + std::string(kSuffix), entry);
}

int Journal::remove(std::string_view id) const
{
    if (m_fd < 0 || !isId(id))
        return EINVAL;
    const std::string name = std::string(id) + std::string(kSuffix);
    if (::unlinkat(m_fd, name.c_str(), 0) != 0 && errno != ENOENT)
        return errno;
    return ::fsync(m_fd) == 0 ? 0 : errno;
}

std::vector<JournalEntry> Journal::entries() const
{
    std::vector<JournalEntry> out;
    if (m_fd < 0)
        return out;
    std::vector<std::string> names;
    if (DirHandle::listNames(m_fd, names) != 0)
        return out;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (name.size() != kIdDigits + kSuffix.size() || !name.ends_with(kSuffix))
            continue;
        const std::string_view id = std::string_view(name).substr(0, kIdDigits);
        if (!isId(id))
            continue;
        if (auto entry = readEntryAt(m_fd, name, id))
            out.push_back(std::move(*entry));
    }
    return out;
}

std::string Journal::setAside(std::string_view id) const
{
    if (m_fd < 0 || !isId(id))
        return {};
    const std::string from = std::string(id) + std::string(kSuffix);
    const std::string to = std::string(id) + ".damaged";
    if (DirHandle::renameAt(m_fd, from, m_fd, to, DirHandle::Rename::replace) != 0)
        return {};
    (void)::fsync(m_fd);
    return m_path + "/" + to;
}

bool isEntryTemporary(std::string_view name, std::string_view entry)
{
    constexpr std::string_view kMark = ".tmp-";
    return name.size() == entry.size() + kMark.size() + kIdDigits && name.substr(0, entry.size()) == entry
        && name.substr(entry.size(), kMark.size()) == kMark && isId(name.substr(entry.size() + kMark.size()));
}

void Journal::removeTornWrites(const std::function<bool(std::string_view id)>& running) const
{
    std::vector<std::string> names;
    if (m_fd < 0 || DirHandle::listNames(m_fd, names) != 0)
        return;
    for (const std::string& name : names) {
        // "<id>.entry.tmp-<16 hex>": nothing else is ours to remove.
        const std::string_view view(name);
        if (view.size() < kIdDigits + kSuffix.size() || !isId(view.substr(0, kIdDigits))
            || !isEntryTemporary(view, view.substr(0, kIdDigits + kSuffix.size()))
            || view.substr(kIdDigits, kSuffix.size()) != kSuffix)
            continue;
        if (running && running(view.substr(0, kIdDigits)))
            continue;
        struct stat st;
        if (::fstatat(m_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            ::unlinkat(m_fd, name.c_str(), 0);
    }
}

} // namespace SafeFS
