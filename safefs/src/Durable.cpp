#include <SafeFS/Durable.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/Journal.h>
#include "JournalText.h"

namespace SafeFS {

namespace {

std::mutex g_hookMutex;
SyncHook g_hook;

#if defined(__linux__)
constexpr bool kOneSyncCoversAll = true;
#else
constexpr bool kOneSyncCoversAll = false;
#endif

int syncWhole(int fd)
{
    {
        const std::lock_guard lock(g_hookMutex);
        if (g_hook)
            return g_hook(fd);
    }
#if defined(__linux__)
    return ::syncfs(fd) == 0 ? 0 : errno;
#else
#if defined(F_FULLFSYNC)
    // What the items' fsyncs handed the drive leaves its cache too.
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
#endif
}

int fsyncAt(int folder, const std::string& name, bool isFolder)
{
    DirHandle::Fd item;
    const int error = isFolder ? DirHandle::openChild(folder, name, item) : DirHandle::openFileAt(folder, name, item);
    if (error)
        return error;
    return ::fsync(item.get()) == 0 ? 0 : errno;
}

// Each regular file and folder below `root`, fsynced: a walk by paths, two handles open at a
// time whatever the depth.
int fsyncTree(int root)
{
    std::vector<std::string> folders{std::string()};
    while (!folders.empty()) {
        const std::string relative = std::move(folders.back());
        folders.pop_back();
        DirHandle::Fd folder;
        if (const int error = DirHandle::openBelow(root, relative, folder))
            return error;
        std::vector<std::string> names;
        if (const int error = DirHandle::listNames(folder.get(), names))
            return error;
        for (const std::string& name : names) {
            struct stat st {};
            if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return errno;
            if (S_ISDIR(st.st_mode)) {
                const std::string below = relative.empty() ? name : relative + "/" + name;
                if (std::size_t(std::count(below.begin(), below.end(), '/')) >= DirHandle::kMaxTreeDepth)
                    return ENAMETOOLONG;
                folders.push_back(below);
            } else if (S_ISREG(st.st_mode)) {
                if (const int error = fsyncAt(folder.get(), name, false))
                    return error;
            }
        }
        if (::fsync(folder.get()) != 0)
            return errno;
    }
    return 0;
}

} // namespace

int SyncBatch::add(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return errno;
    const auto device = std::uint64_t(st.st_dev);
    if (std::any_of(m_systems.begin(), m_systems.end(), [&](const System& s) { return s.device == device; }))
        return 0;
    DirHandle::Fd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own.valid())
        return errno;
    m_systems.push_back({device, std::move(own)});
    return 0;
}

int SyncBatch::addFolder(int fd)
{
    if (!kOneSyncCoversAll && ::fsync(fd) != 0)
        return errno;
    return add(fd);
}

int SyncBatch::addTree(int fd)
{
    if (!kOneSyncCoversAll) {
        if (const int error = fsyncTree(fd))
            return error;
    }
    return addFolder(fd);
}

int SyncBatch::syncKeeping()
{
    int first = 0;
    // Every file system, whatever the first one answered: each may hold the change's data.
    for (const System& system : m_systems) {
        const int error = syncWhole(system.fd.get());
        if (error && !first)
            first = error;
    }
    return first;
}

int SyncBatch::sync()
{
    const int error = syncKeeping();
    m_systems.clear();
    return error;
}

int openPlace(const JournalPlace& place, DirHandle::Fd& out)
{
    int error = 0;
    if (place.followLinks) {
        const std::string path = JournalText::joinPath(place.root, place.folder);
        out = DirHandle::Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        error = out.valid() ? 0 : errno;
    } else {
        error = DirHandle::openPath(place.root, place.folder, out);
    }
    // A place gone, or become a link, holds nothing of the change any more where it was
    // recorded (recovery has settled it, or worked on it where it was renamed to): its file
    // system is reached through the nearest folder above it that still stands.
    if (error == ENOENT || error == ENOTDIR || error == ELOOP) {
        // The user's place is its own root: the walk goes up its path.
        std::string above = place.followLinks ? JournalText::joinPath(place.root, place.folder) : place.root;
        out = DirHandle::Fd(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (!out.valid() && place.followLinks && above.size() > 1) {
            const std::size_t slash = above.find_last_of('/');
            above = slash == 0 || slash == std::string::npos ? std::string("/") : above.substr(0, slash);
            out = DirHandle::Fd(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        return out.valid() ? 0 : ENOENT;
    }
    return error;
}

int syncPlaces(const JournalEntry& entry, SyncBatch& held)
{
    for (const JournalPlace& place : entry.places) {
        DirHandle::Fd folder;
        const int error = openPlace(place, folder);
        // Neither the place nor its root stands: there is nothing there to wait for.
        if (error == ENOENT)
            continue;
        if (error)
            return error;
        // A file system already held keeps its older handle (the batch knows it by device).
        if (const int adding = held.addFolder(folder.get()))
            return adding;
    }
    return held.syncKeeping();
}

int syncPlaces(const JournalEntry& entry)
{
    SyncBatch batch;
    return syncPlaces(entry, batch);
}

SyncHook setSyncHookForTests(SyncHook hook)
{
    const std::lock_guard lock(g_hookMutex);
    return std::exchange(g_hook, std::move(hook));
}

} // namespace SafeFS
