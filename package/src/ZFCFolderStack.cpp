#include "LoomworkKit/ZFCFolderStack.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif
#include <unistd.h>

namespace {

int openFolderAt(int parent, const char* name)
{
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

ZFCFolderStack::ZFCFolderStack(int top)
{
    m_levels.push_back({{}, top});
    m_open = top >= 0 ? 1 : 0;
}

ZFCFolderStack::~ZFCFolderStack()
{
    for (const Level& level : m_levels) {
        if (level.fd >= 0)
            ::close(level.fd);
    }
}

int ZFCFolderStack::fd()
{
    if (m_levels.back().fd >= 0)
        return m_levels.back().fd;
    // The top is never closed: down from the nearest open folder, each checked to be the one
    // entered there, so that a folder moved in meanwhile is never walked as the tree's.
    std::size_t from = m_levels.size() - 1;
    while (from > 0 && m_levels[from].fd < 0)
        --from;
    if (m_levels[from].fd < 0) {
        errno = EBADF;
        return -1;
    }
    for (std::size_t i = from + 1; i < m_levels.size(); ++i) {
        Level& level = m_levels[i];
        const int opened = openFolderAt(m_levels[i - 1].fd, level.name.c_str());
        if (opened < 0)
            return -1;
        struct stat st {};
        if (::fstat(opened, &st) != 0 || std::uint64_t(st.st_dev) != level.device || std::uint64_t(st.st_ino) != level.inode) {
            ::close(opened);
            errno = ENOENT;
            return -1;
        }
        level.fd = opened;
        ++m_open;
        if (m_open > heldHandles)
            closeShallowest();
    }
    return m_levels.back().fd;
}

int ZFCFolderStack::enter(std::string_view name)
{
    const int parent = fd();
    if (parent < 0)
        return errno;
    std::string child(name);
    const int opened = openFolderAt(parent, child.c_str());
    if (opened < 0)
        return errno;
    m_levels.push_back({std::move(child), opened});
    ++m_open;
    if (m_open > heldHandles)
        closeShallowest();
    return 0;
}

void ZFCFolderStack::leave()
{
    if (m_levels.size() < 2)
        return;
    if (m_levels.back().fd >= 0) {
        ::close(m_levels.back().fd);
        --m_open;
    }
    m_levels.pop_back();
}

int ZFCFolderStack::list(std::vector<Entry>& out)
{
    const int folder = fd();
    if (folder < 0)
        return errno;
    Level& level = m_levels.back();
    if (level.listed && ::lseek(folder, 0, SEEK_SET) < 0)
        return errno;
    level.listed = true;
    const auto add = [&out](const char* name, unsigned char type) {
        if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
            out.push_back({name, type});
    };
#if defined(__linux__)
    // Read from the held handle itself: no copy of it to open, no stream to allocate.
    struct Record
    {
        std::uint64_t inode;
        std::int64_t offset;
        unsigned short length;
        unsigned char type;
        char name[1];
    };
    alignas(Record) char buffer[32768];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : 0;
        for (long at = 0; at < n;) {
            const auto* record = reinterpret_cast<const Record*>(buffer + at);
            add(record->name, record->type);
            at += record->length;
        }
    }
#else
    // A reading copy, so that the held handle stays open once the listing is closed.
    const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return errno;
    DIR* const dir = ::fdopendir(copy);
    if (!dir) {
        const int error = errno;
        ::close(copy);
        return error;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (!entry) {
            error = errno;
            break;
        }
        add(entry->d_name, entry->d_type);
    }
    ::closedir(dir);
    return error;
#endif
}

void ZFCFolderStack::closeShallowest()
{
    for (std::size_t i = 1; i < m_levels.size(); ++i) {
        Level& level = m_levels[i];
        if (level.fd < 0)
            continue;
        struct stat st {};
        if (::fstat(level.fd, &st) == 0) {
            level.device = std::uint64_t(st.st_dev);
            level.inode = std::uint64_t(st.st_ino);
        }
        ::close(level.fd);
        level.fd = -1;
        --m_open;
        return;
    }
}
