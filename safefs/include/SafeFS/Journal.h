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
// whose identity still matches what the entry recorded (SafeFS/Identity.h).
//
// A change writes its entry before its first visible step and rewrites it at its commit point
// (state `finish`); once done it removes the entry. An entry says where the change works, as
// places (a `root`, then a `folder` below it: a category folder, a plug-in, the folder a linked
// template really lies in), and lists its items by paths inside their place:
//   room  a private room of the change (SafeFS/Room.h) in its place's folder; an item path
//         whose first component is a room's lies inside it, wherever the room was renamed to.
//   made  an item the change created (a staged file, a new plug-in); with a target, the path it
//         is to stand at once the change is finished.
//   old   an item the change moved out of the way; its target is where it stood.
// Recovery of an entry in state `undo` puts every old item back at its target and removes the
// made items, a new item at a target only by putting its old one back in its place (where the
// old one cannot be found, the new one stays and the entry is kept); in state `finish` it only
// goes forward: it puts made items with a target at their target and removes the old items
// and the other made ones, never putting an old item back. Nothing is removed where
// it stands in a shared folder: it is moved into the place's room first, checked and emptied
// there (SafeFS::removeInRoom). Paths are relative, without "." or "..", never absolute:
// anything else makes the entry damaged, and a damaged entry is never acted on.
//
// An entry goes only once every item it records has been acted on or is proven to need
// nothing. Not finding an item proves nothing by itself:
//   - A place that cannot be opened (its disk not mounted, a folder gone) proves nothing:
//     nothing of the entry is acted on, and it waits, said at every recovery. A link where a
//     place of the system library was recorded says that folder has left the place for good:
//     its items are given up, said once, and the rest of the entry is recovered as usual;
//     only the entry's own rooms are still looked for where the link leads, and emptied and
//     removed there (nobody else can enter them), nothing outside them touched.
//     So are a place's items when its folder is missing while the folder above it opens on
//     the disk they were recorded on (the user removed the plug-in since); one renamed there
//     is found by the rooms of the entry it holds, and recovered where it is now.
//   - An item's own name (its path outside a room; a room's name while the room is not found)
//     held by something that is no item of the entry (the library restored from a backup,
//     another item renamed there) proves nothing either: nothing of the entry is acted on.
//   - undo: an old item found neither at its path nor at its target is lost, never nothing.
//     A made item found nowhere, its name free, was never made or is removed already. A room
//     found nowhere, its name free, was removed, with all it held (only we or root can).
//   - finish: an old item or a made one without target found nowhere is removed already; a
//     made item with a target found at neither was removed or renamed by the user since: it
//     is settled, said once (one line a place), never waited for.
//   - An item recovery cannot remove for want of rights (what a helper that died left, root's)
//     keeps the entry, and is named for the administrator at every recovery (JournalRemains).
// What a room holds that its entry does not record goes back out to the place's folder and is
// named; only our own staging, at a name no item records (a copy being extracted or written
// when the change stopped), is removed with the room.
namespace SafeFS {

struct JournalPlace {
    std::string root;   // absolute path where the walk to `folder` starts
    std::string folder; // below `root`; empty for `root` itself
    // Whether links on the way to `folder` are followed (the user's library) or refused (the
    // system library). Below `folder` an item's path never passes through a link.
    bool followLinks = false;
};

struct JournalItem {
    enum class Role { made, old, room };
    Role role = Role::made;
    std::size_t place = 0; // index into the entry's places
    std::string path;      // inside its place's folder
    std::string target;    // inside its place's folder; may be empty for a made item
    // Unknown (0, 0) only for a made item or room whose creation had not been recorded:
    // recovery then removes it only when it is an empty regular file or folder owned by this
    // user, its exact name carrying the entry's id (inside a room of the entry, where nobody
    // else can put anything, whatever it is). A change records a room's identity before it
    // fills it.
    Identity identity;
};

struct JournalEntry {
    enum class State { undo, finish };
    std::string id;     // 16 lowercase hex digits: the entry's file name, and part of its items' names
    std::string kind;   // who wrote it ("swap", "template", "extract", "admin"): for messages and tests
    std::vector<JournalPlace> places;
    State state = State::undo;
    std::vector<JournalItem> items;
    // The user has been told what recovery could not put right: he is not told again.
    bool told = false;
    // The sync that was to make the change durable reported a write error: its data may not be
    // on the disk, which the user hears of when the entry goes.
    bool unsynced = false;
    bool damaged = false; // set when read back: a line or path that is not of our exact form
};

// A place of an entry that cannot be opened: the entry waits, untouched.
struct JournalWait {
    std::string id;    // the entry's
    std::string place; // the place's path
    int error = 0;
};

// An item recovery could not remove for want of rights, for the administrator: `name` inside
// the entry's room `room` of `folder` (`inRoom`), else at `name` in `folder` with that room
// beside it to take it into (none when the room is gone: the administrator's step makes its
// own). Acted on only while it is `identity`.
struct JournalRemains {
    std::string id;     // the entry's
    std::string folder; // the place's path
    std::string name;
    Identity identity;
    std::string room; // the room's name as found
    Identity roomIdentity;
    bool inRoom = false;
    std::string shownName; // where a remainder goes back out (the name it stood at)
};

// What recovery of one entry left, besides its result.
struct RecoveryReport {
    std::vector<std::string> notes; // what was left and where, one line each, for the user
    // What was settled with nothing left to put right (an item the user removed or renamed
    // since the change was committed, a place gone for good), one line each, for the user.
    std::vector<std::string> info;
    std::vector<JournalWait> waits;
    std::vector<JournalRemains> remains;
};

// The paths an entry's items stand for (each target in its place; a place without one itself),
// for messages: what the user should look at when the entry cannot be acted on. Read from a
// damaged entry too, as far as it can be read.
std::vector<std::string> coveredPaths(const JournalEntry& entry);

// Whether `path` is a path inside a folder: not empty, not absolute, no empty, "." or ".."
// component.
bool isInsidePath(std::string_view path);

// A new random id of 16 lowercase hex digits.
std::string newJournalId();

// The entry as text and back. parseEntry() marks an entry damaged rather than failing, so that
// its file is kept (and never acted on) instead of being taken for absent; what it can read of
// a damaged one stays in it, for coveredPaths(). Items of the older form without a birth time
// (7 words) make an entry damaged: such an identity may name a later item.
std::string formatEntry(const JournalEntry& entry);
JournalEntry parseEntry(std::string_view text, std::string_view id);

// Writes `entry` as the file `name` in the folder `folder` (a handle): a temporary file 0600
// (`name` + ".tmp-" + 16 hex digits), synced, renamed over `name`, the folder synced. 0 or
// the errno.
[[nodiscard]] int writeEntryAt(int folder, std::string_view name, const JournalEntry& entry);
// Whether `name` is one of writeEntryAt()'s temporaries for the entry file `entry`: `entry` +
// ".tmp-" + 16 lowercase hex digits (a write killed before its rename leaves one).
bool isEntryTemporary(std::string_view name, std::string_view entry);
// Reads the entry file `name` in `folder` when it is a regular file of at most 64 MiB owned by
// this user with mode 0600 exactly; none when it is not there or not of that form (unreadable
// counts as damaged, never as absent: the entry is returned with `damaged`).
std::optional<JournalEntry> readEntryAt(int folder, std::string_view name, std::string_view id);

// A folder of entries, one file each (`<id>.entry`), where only this user can write: created
// 0700, and refused (EPERM) when it is a link, another user's, or writable by others; so is
// every folder on the way to it that is not root's or this user's, or that others may write
// without its sticky bit (they could rename the journal away and put their own in its place).
class Journal
{
public:
    // Opens or creates the journal folder at the absolute path `folder`. 0 or the errno, with
    // the path found at fault in `refusedAt` (when given) for EPERM.
    [[nodiscard]] int open(const std::string& folder, std::string* refusedAt = nullptr);
    bool isOpen() const { return m_fd >= 0; }
    ~Journal();
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    [[nodiscard]] int write(const JournalEntry& entry) const;
    // Removes the entry's file durably; nothing there is no error.
    [[nodiscard]] int remove(std::string_view id) const;
    // Every entry in the folder, damaged ones included.
    std::vector<JournalEntry> entries() const;
    // Puts the damaged entry `id` aside as "<id>.damaged", where no recovery reads it again;
    // the path it now has, empty when it could not be moved.
    std::string setAside(std::string_view id) const;
    // Removes the temporaries of entry writes that a kill left (`<id>.entry.tmp-…`), except
    // those of entries `running` says are being written.
    void removeTornWrites(const std::function<bool(std::string_view id)>& running) const;
    // The folder's path as opened.
    const std::string& path() const { return m_path; }

private:
    int m_fd = -1;
    std::string m_path;
};

// Puts right what the entry's change left, as described above. 0 when the entry is settled
// (its file may go); else the errno of what could not be done (ENOENT where an old item could
// not be found to go back, EEXIST where something else holds an item's own name, the place's
// error where one cannot be opened), with nothing acted on that the entry does not name, and
// what was left and where added to `notes` (one line each, for the user). A damaged entry
// gives EINVAL and is left alone.
[[nodiscard]] int recoverEntry(const JournalEntry& entry, std::vector<std::string>* notes = nullptr);
// The same, with the places that could not be opened and what needs the administrator too.
[[nodiscard]] int recoverEntry(const JournalEntry& entry, RecoveryReport& report);

// What recoverJournal() has for the user.
struct JournalReport {
    // Once: what an entry left that could not be put right (the entry is kept, marked told, or
    // settled), and each damaged entry (set aside), with the paths it covers.
    std::vector<std::string> tell;
    // Whether some line of `tell` says what could not be put right (an entry kept or damaged,
    // an item left), not only what was settled.
    bool incomplete = false;
    // Every time: entries waiting on a place that cannot be opened, and items that need the
    // administrator (their entries kept).
    std::vector<JournalWait> waits;
    std::vector<JournalRemains> remains;
};

// recoverEntry() for every entry of `journal` whose change is not still running, removing the
// entries it settles and the torn writes of entries. `running` says whether an entry belongs
// to a change in progress (in this process, or holding a lock); null counts none as running.
JournalReport recoverJournal(const Journal& journal, const std::function<bool(std::string_view id)>& running = {});

} // namespace SafeFS
