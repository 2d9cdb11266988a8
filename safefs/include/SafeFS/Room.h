#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Identity.h>

// A private room: a folder of the acting user, mode 0700, made beside the items it works on in
// a folder every local user may write (the shared library has no sticky bit, so anyone there
// can rename or exchange any name, even of a plug-in he cannot delete). Nobody else can enter
// or list the room, so an item moved into it by one rename or exchange through the folder's
// handle stays the item it is: its identity is checked there, and only then is it emptied,
// so that what was checked is what is removed. An item found not to be the one expected goes
// back out, untouched.
namespace SafeFS {

class Room
{
public:
    // Makes the room `name` in `parent` and opens it. The folder opened is checked to be the
    // one just made (ours, empty, born no earlier than the call where the file system tells)
    // and set to 0700: another user who renames an empty folder onto the name in between is
    // refused (EEXIST), his folder untouched. 0 or the errno.
    [[nodiscard]] int make(int parent, std::string_view name);
    // Opens the room `identity` in `parent`: at `name`, or wherever in `parent` another user
    // renamed it to (a folder cannot leave its parent without rights on itself). Only a folder
    // of `owner`'s (this user's when not given), 0700, counts. ENOENT when there is none.
    [[nodiscard]] int find(int parent, std::string_view name, const Identity& identity);
    [[nodiscard]] int find(int parent, std::string_view name, const Identity& identity, uid_t owner);

    bool valid() const { return m_fd.valid(); }
    int fd() const { return m_fd.get(); }
    const Identity& identity() const { return m_identity; }
    // The name the room was made or found at.
    const std::string& name() const { return m_name; }

    // Removes the room from `parent` once it is empty, looked for by its identity wherever
    // another user renames it, then removed by that name (there is no removing a folder through
    // its handle). What it cannot promise: in a folder everyone may write, another user can put
    // an empty folder at the name in the instant between the look and the rmdir, and that empty
    // folder goes instead (rmdir takes nothing that holds anything). When the room's own handle
    // then shows it still there, that is EEXIST, with no further try. 0 once the room is gone
    // (its own handle says so); ENOTEMPTY when it is not empty; EBUSY when it is still there
    // after many tries (renamed on and on). On any error the caller keeps it recorded.
    [[nodiscard]] int removeIfEmpty(int parent) const;

    // For tests: called by make() between making the folder and opening it, with `parent` and
    // the name, so that a test can put another folder there as a neighbour would. Null removes it.
    static void setMadeHookForTests(void (*hook)(int parent, const char* name));
    // For tests: called by removeIfEmpty() between its look at the name and the rmdir.
    static void setRemoveHookForTests(void (*hook)(int parent, const char* name));

private:
    DirHandle::Fd m_fd;
    Identity m_identity;
    std::string m_name;
};

// What a removal through a room did besides removing.
struct Removal {
    // The item found was not the one expected: it went back out, and nothing was removed.
    bool mismatch = false;
    // Items of other users found inside, left (paths inside the item).
    std::vector<std::string> left;
    // Where the item, or what was left of it, went back to in the shared folder; empty when
    // nothing went back.
    std::string returnedAs;
};

// Removes the item `inside` of the room `room` (an open room, or a folder inside one) only
// while it is `expected`, emptying it of what
// `owners` allows. An item that is not the one expected, and what is left of one that holds
// another user's items, is moved back out to `name` in `parent` (the shared folder it came
// from), or where that is taken to "name 2", "name 3", …, so that nothing of anyone else's
// stays hidden; `out` says what happened. 0 when the item is gone or went back as described;
// else the errno of the step that failed (rights we lack, a tree deeper than
// DirHandle::kMaxTreeDepth), with what is left of the item still in the room, for someone
// with the rights.
[[nodiscard]] int removeInRoom(int room, std::string_view inside, const Identity& expected,
                               const DirHandle::Owners& owners, int parent, std::string_view name, Removal& out);

// Moves `name` of `parent` into `room` as `inside` by one rename, then removeInRoom(). ENOENT
// when nothing is at `name`; EACCES or EPERM when the item cannot be moved (a folder of another
// user's: only its owner or root can give it another parent), with nothing changed.
[[nodiscard]] int removeThroughRoom(int parent, std::string_view name, int room, std::string_view inside,
                                    const Identity& expected, const DirHandle::Owners& owners, Removal& out);

// The owners whose items a removal of `name` in `folder` may remove: the item's own owner, root
// and `asker` (the user who asked for the removal).
DirHandle::Owners ownersOf(int folder, std::string_view name, uid_t asker);

} // namespace SafeFS
