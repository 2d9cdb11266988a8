#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <SafeFS/DirHandle.h>

// Making what a change wrote survive a power cut. A change is done when its file systems have
// it, not when the kernel does: staged data is synced before the first exchange that commits
// it, and an entry of the journal goes only once what it covers is synced on the library's
// own file system, which may not be the journal's.
//
// On Linux one syncfs() per file system covers a whole batch; per-file fsyncs one after
// another cost many times more. Elsewhere there is no syncfs: each staged item and each
// folder whose names changed is fsynced as it is added, and the drive's cache is flushed
// (F_FULLFSYNC) once per file system at sync().
namespace SafeFS {

class SyncBatch
{
public:
    // The file system holding the open folder `fd`, for what changed in the folder's own
    // names. 0 or the errno.
    [[nodiscard]] int addFolder(int fd);
    // The same for a tree just written below the open folder `fd` (a staging folder): its
    // files' data and every folder's names.
    [[nodiscard]] int addTree(int fd);
    // One sync per file system added; 0 or the first errno. The batch is empty after it.
    [[nodiscard]] int sync();
    // The same, keeping the handles: a later sync through them still sees a write-back error
    // that came after this one (each handle reads the file system's errors from where it last
    // looked, from its opening on).
    [[nodiscard]] int syncKeeping();
    bool empty() const { return m_systems.empty(); }

private:
    struct System {
        std::uint64_t device = 0;
        DirHandle::Fd fd;
    };
    int add(int fd);
    std::vector<System> m_systems;
};

// The file systems of the places `entry` names, synced (a SyncBatch of their folders): what
// its change or recovery did there is durable, so that its entry may go. A place gone or
// become a link is synced through the nearest folder above it that stands (in the system
// library its root); any other place that cannot be opened, or a failed sync, gives its
// errno, and the entry stays.
struct JournalEntry;
[[nodiscard]] int syncPlaces(const JournalEntry& entry);
// The same through `held`: a place on a file system `held` has a handle on is synced through
// that handle, opened before the change wrote there, so that an error of a write-back since is
// seen (a handle opened after the error does not see it). `held` keeps its handles.
[[nodiscard]] int syncPlaces(const JournalEntry& entry, SyncBatch& held);
// The folder of `place` opened as syncPlaces() opens it (the folder above, as said there, when
// it is gone or became a link). 0, ENOENT when none stands, or the errno.
struct JournalPlace;
[[nodiscard]] int openPlace(const JournalPlace& place, DirHandle::Fd& out);

// Tests: every sync of a whole file system goes to `hook` (given the handle it would sync)
// instead of the system; an empty hook restores the real one. Returns the previous hook.
using SyncHook = std::function<int(int fd)>;
SyncHook setSyncHookForTests(SyncHook hook);

} // namespace SafeFS
