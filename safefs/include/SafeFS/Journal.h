#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <SafeFS/Identity.h>

// The journal of changes in flight, and the one recovery that puts right what a killed or
// failed change left. Names alone prove nothing (anyone who can write in a library can give
// one), so recovery acts only on what an entry of its own journal names, and only on items
// whose device and inode still match what the entry recorded.
//
// A change writes its entry before its first visible step and rewrites it at its commit point
// (state `finish`); once done it removes the entry. An entry says where the change works, as
// places (a `root`, then a `folder` below it: a category folder, a plug-in, the folder a linked
// template really lies in), and lists its items by paths inside their place:
//   made  an item the change created (a staging folder, a staged file, a new plug-in); with a
//         target, the path it is to stand at once the change is finished.
//   old   an item the change moved out of the way; its target is where it stood.
// Recovery of an entry in state `undo` removes the made items and puts every old item back at
// its target; in state `finish` it puts made items with a target at their target and removes
// the old items and the other made ones. Paths are relative, without "." or "..", never
// absolute: anything else makes the entry damaged, and a damaged entry is never acted on.
namespace SafeFS {

struct JournalPlace {
    std::string root;   // absolute path where the walk to `folder` starts
    std::string folder; // below `root`; empty for `root` itself
    // Whether links on the way to `folder` are followed (the user's library) or refused (the
    // system library). Below `folder` an item's path never passes through a link.
    bool followLinks = false;
};

struct JournalItem {
    enum class Role { made, old };
    Role role = Role::made;
    std::size_t place = 0; // index into the entry's places
    std::string path;      // inside its place's folder
    std::string target;    // inside its place's folder; may be empty for a made item
    // Unknown (0, 0) only for a made item whose creation had not been recorded: recovery then
    // removes it only when it is an empty regular file or folder owned by this user, its exact
    // name carrying the entry's id. A change records the identity before it fills the item.
    Identity identity;
};

struct JournalEntry {
    enum class State { undo, finish };
    std::string id;     // 16 lowercase hex digits: the entry's file name, and part of its items' names
    std::string kind;   // who wrote it ("swap", "template", "extract", "admin"): for messages and tests
    std::vector<JournalPlace> places;
    State state = State::undo;
    std::vector<JournalItem> items;
    bool damaged = false; // set when read back: a line or path that is not of our exact form
};

// Whether `path` is a path inside a folder: not empty, not absolute, no empty, "." or ".."
// component.
bool isInsidePath(std::string_view path);

// A new random id of 16 lowercase hex digits.
std::string newJournalId();

// The entry as text and back. parseEntry() marks an entry damaged rather than failing, so that
// its file is kept (and never acted on) instead of being taken for absent.
std::string formatEntry(const JournalEntry& entry);
JournalEntry parseEntry(std::string_view text, std::string_view id);

// Writes `entry` as the file `name` in the folder `folder` (a handle): a temporary file 0600,
// synced, renamed over `name`, the folder synced. 0 or the errno.
int writeEntryAt(int folder, std::string_view name, const JournalEntry& entry);
// Reads the entry file `name` in `folder` when it is a regular file of at most 64 MiB owned by
// this user with mode 0600 exactly; none when it is not there or not of that form (unreadable
// counts as damaged, never as absent: the entry is returned with `damaged`).
std::optional<JournalEntry> readEntryAt(int folder, std::string_view name, std::string_view id);

// A folder of entries, one file each (`<id>.entry`), where only this user can write: created
// 0700, and refused (EPERM) when it is a link, another user's, or writable by others.
class Journal
{
public:
    // Opens or creates the journal folder at the absolute path `folder`. 0 or the errno.
    int open(const std::string& folder);
    bool isOpen() const { return m_fd >= 0; }
    ~Journal();
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    int write(const JournalEntry& entry) const;
    // Removes the entry's file durably; nothing there is no error.
    int remove(std::string_view id) const;
    // Every entry in the folder, damaged ones included.
    std::vector<JournalEntry> entries() const;

private:
    int m_fd = -1;
};

// Puts right what the entry's change left, as described above. 0 when the entry is settled
// (its file may go); else the errno of what could not be done, with nothing acted on that the
// entry does not name. A damaged entry gives EINVAL and is left alone.
int recoverEntry(const JournalEntry& entry);

// recoverEntry() for every entry of `journal` whose change is not still running, removing the
// entries it settles. `running` says whether an entry belongs to a change in progress (in
// this process, or holding a lock); null counts none as running.
void recoverJournal(const Journal& journal, const std::function<bool(const JournalEntry&)>& running = {});

} // namespace SafeFS
