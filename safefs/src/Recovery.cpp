#include <SafeFS/Journal.h>

#include <algorithm>
#include <map>
#include <set>
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
#include <SafeFS/Durable.h>
#include <SafeFS/Room.h>
#include "JournalText.h"

namespace SafeFS {

using namespace JournalText;

namespace {

// What an entry covers (a damaged one as far as it can be read): the user looks there.
std::string coveredText(const JournalEntry& entry)
{
    constexpr std::size_t kShown = 10;
    const std::vector<std::string> paths = coveredPaths(entry);
    if (paths.empty())
        return {};
    std::string text = "\n它涉及：";
    for (std::size_t i = 0; i < paths.size() && i < kShown; ++i)
        text += (i ? "、" : "") + paths[i];
    if (paths.size() > kShown)
        text += " 等 " + std::to_string(paths.size()) + " 处";
    return text + "\n请检查这些插件是否完整。";
}

// One place of an entry, opened once: its folder, and each parent folder of an item inside.
class OpenedPlace
{
public:
    explicit OpenedPlace(const JournalPlace& place) : m_shown(joinPath(place.root, place.folder))
    {
        if (place.followLinks) {
            m_folder = DirHandle::Fd(::open(m_shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            m_error = m_folder.valid() ? 0 : errno;
        } else {
            m_error = DirHandle::openPath(place.root, place.folder, m_folder);
        }
    }

    int error() const { return m_error; }
    int fd() const { return m_folder.get(); }
    const std::string& shown() const { return m_shown; }

    // The folder found elsewhere (its plug-in renamed since): worked on there.
    void moveTo(DirHandle::Fd folder, std::string shown)
    {
        m_folder = std::move(folder);
        m_shown = std::move(shown);
        m_error = 0;
    }

    // Whether only this user may change the folder's names: then a name there is what we left.
    bool isPrivate() const
    {
        struct stat st {};
        return m_folder.valid() && ::fstat(m_folder.get(), &st) == 0 && st.st_uid == ::geteuid()
            && (st.st_mode & 022) == 0;
    }

private:
    DirHandle::Fd m_folder;
    std::string m_shown;
    int m_error = 0;
};

// Where an item's path leads: the open folder holding its last component and that name. In a
// room (or a folder inside one) nobody else can rename anything.
struct Spot {
    DirHandle::Fd held; // the folder, when it had to be opened for this spot
    int fd = -1;
    std::string name;
    std::size_t place = 0;
    const Room* room = nullptr; // the room it lies in
    bool inRoom = false;
    int error = 0;
    explicit operator bool() const { return fd >= 0; }
};

bool lacksRights(int error)
{
    return error == EACCES || error == EPERM;
}

struct Recovery {
    JournalEntry entry;
    std::vector<std::unique_ptr<OpenedPlace>> places;
    // Places of the system library where a link stands now: the folder recorded there has left
    // it for good, with every item the entry recorded in it. Waiting would wait for ever.
    std::vector<bool> gone;
    // The entry's rooms that were found, by item index.
    std::map<std::size_t, std::unique_ptr<Room>> rooms;
    int firstError = 0;
    RecoveryReport report;
    unsigned aside = 0;
    // Items that stay where they lie (paths in their place): new ones that could not be put
    // in place. A room keeps them, and so does a made folder holding one.
    std::vector<std::pair<std::size_t, std::string>> kept;
    bool undoing = false;

    // Places whose folder was removed or renamed since (its parent opens on the disk its items
    // were recorded on, and none of its rooms is found in another folder there): nothing of
    // the entry is left in them to act on.
    std::vector<bool> removed;
    std::vector<bool> removedWith; // with a place above it, said with that one
    // Places found renamed, worked on where they are now.
    std::set<std::size_t> moved;
    // The items of places that became links: only our own rooms among them are still looked
    // for, where the link leads.
    std::vector<JournalItem> linkedItems;
    // Made items with a target found nowhere once committed (removed or renamed since), by
    // place: settled, said once.
    std::map<std::size_t, std::vector<std::string>> missing;

    explicit Recovery(const JournalEntry& e) : entry(e)
    {
        for (const JournalPlace& place : e.places) {
            places.push_back(std::make_unique<OpenedPlace>(place));
            gone.push_back(!place.followLinks && places.back()->error() == ELOOP);
        }
        removed.assign(places.size(), false);
        removedWith.assign(places.size(), false);
        findMovedPlaces();
        for (const JournalItem& item : entry.items) {
            if (gone[item.place])
                linkedItems.push_back(item);
        }
        std::erase_if(entry.items, [&](const JournalItem& item) { return gone[item.place] || removed[item.place]; });
        for (std::size_t i = 0; i < entry.items.size(); ++i) {
            const JournalItem& item = entry.items[i];
            const OpenedPlace& place = *places[item.place];
            if (item.role != JournalItem::Role::room || place.error() || !item.identity.known())
                continue;
            auto room = std::make_unique<Room>();
            if (room->find(place.fd(), item.path, item.identity) == 0)
                rooms.emplace(i, std::move(room));
        }
    }

    void note(int error)
    {
        if (error && !firstError)
            firstError = error;
    }

    std::string fullPath(std::size_t i) const
    {
        return joinPath(entry.places[i].root, entry.places[i].folder);
    }

    // Places `i` itself and those below it, each with its path below `i`.
    std::vector<std::pair<std::size_t, std::string>> placesFrom(std::size_t i) const
    {
        std::vector<std::pair<std::size_t, std::string>> out;
        const std::string top = fullPath(i);
        for (std::size_t j = 0; j < places.size(); ++j) {
            const std::string at = fullPath(j);
            if (entry.places[j].followLinks != entry.places[i].followLinks)
                continue;
            if (j == i)
                out.emplace_back(j, std::string());
            else if (at.size() > top.size() + 1 && at.starts_with(top + "/")
                     && (entry.places[j].followLinks || entry.places[j].root == entry.places[i].root))
                out.emplace_back(j, at.substr(top.size() + 1));
        }
        return out;
    }

    // The folder holding place `i`'s folder, and its name there; none for a library root.
    bool openParent(std::size_t i, DirHandle::Fd& parent, std::string& name) const
    {
        const JournalPlace& place = entry.places[i];
        if (place.followLinks) {
            const std::string path = fullPath(i);
            const std::size_t slash = path.find_last_of('/');
            if (slash == std::string::npos || slash + 1 == path.size())
                return false;
            name = path.substr(slash + 1);
            const std::string above = slash == 0 ? std::string("/") : path.substr(0, slash);
            parent = DirHandle::Fd(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            return parent.valid();
        }
        if (place.folder.empty())
            return false;
        name = nameOf(place.folder);
        return DirHandle::openPath(place.root, parentOf(place.folder), parent) == 0;
    }

    // Whether a folder on the device `device` can hold what the entry recorded in place `i`
    // (or below it): some item there was recorded on that device. The number is only a hint,
    // so a disk numbered anew since is taken for one not there: its change waits.
    bool recordedOn(std::size_t i, std::uint64_t device) const
    {
        for (const auto& [j, below] : placesFrom(i)) {
            for (const JournalItem& item : entry.items) {
                if (item.place == j && item.identity.known() && item.identity.device == device)
                    return true;
            }
        }
        return false;
    }

    // The folder in `parent` other than `name` that holds a room of the entry recorded in
    // place `i` or below it: the place's folder renamed.
    std::string renamedTo(std::size_t i, int parent, const std::string& name) const
    {
        std::vector<std::string> names;
        if (DirHandle::listNames(parent, names) != 0)
            return {};
        const std::vector<std::pair<std::size_t, std::string>> below = placesFrom(i);
        for (const std::string& candidate : names) {
            if (candidate == name)
                continue;
            DirHandle::Fd folder;
            if (DirHandle::openChild(parent, candidate, folder) != 0)
                continue;
            for (const auto& [j, rest] : below) {
                DirHandle::Fd inner;
                if (!rest.empty() && DirHandle::openBelow(folder.get(), rest, inner) != 0)
                    continue;
                const int at = rest.empty() ? folder.get() : inner.get();
                for (const JournalItem& item : entry.items) {
                    Identity found;
                    if (item.role == JournalItem::Role::room && item.place == j && item.identity.known()
                        && identityAt(at, item.path, found) == 0 && found == item.identity)
                        return candidate;
                }
            }
        }
        return {};
    }

    // Places whose folder is not where the entry says, while the folder above it opens on
    // their disk: the user removed or renamed the plug-in since. A renamed one is found by the
    // rooms it holds and worked on there; a removed one holds nothing left to do. A place
    // whose folder above is missing too (a disk not mounted) waits, unless a place of the
    // entry above it was found moved or removed.
    void findMovedPlaces()
    {
        std::vector<std::size_t> order(places.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return fullPath(a).size() < fullPath(b).size(); });
        for (const std::size_t i : order) {
            const int error = places[i]->error();
            if (gone[i] || (error != ENOENT && error != ENOTDIR))
                continue;
            // Below a place found moved or removed: it went with it.
            bool settled = false;
            for (const std::size_t j : order) {
                if (j == i || !(removed[j] || (moved.count(j) && !places[j]->error())))
                    continue;
                const auto below = placesFrom(j);
                const auto at = std::find_if(below.begin(), below.end(), [&](const auto& p) { return p.first == i; });
                if (at == below.end())
                    continue;
                settled = true;
                DirHandle::Fd folder;
                if (removed[j] || DirHandle::openBelow(places[j]->fd(), at->second, folder) != 0) {
                    removed[i] = true;
                    removedWith[i] = removed[j];
                } else {
                    places[i]->moveTo(std::move(folder), joinPath(places[j]->shown(), at->second));
                    moved.insert(i);
                }
                break;
            }
            if (settled)
                continue;
            DirHandle::Fd parent;
            std::string name;
            if (!openParent(i, parent, name))
                continue;
            if (const std::string renamed = renamedTo(i, parent.get(), name); !renamed.empty()) {
                DirHandle::Fd folder;
                if (DirHandle::openChild(parent.get(), renamed, folder) == 0) {
                    const std::string shown = joinPath(parentOf(places[i]->shown()), renamed);
                    places[i]->moveTo(std::move(folder), shown);
                    moved.insert(i);
                }
                continue;
            }
            struct stat st {};
            if (::fstat(parent.get(), &st) == 0 && recordedOn(i, std::uint64_t(st.st_dev)))
                removed[i] = true;
        }
    }

    // The rooms of a place that became a link, in the folder it leads to (the plug-in moved
    // away and linked back): nobody else can enter a room of ours, so what it holds is still
    // what the change put there, and it is emptied and removed there. Nothing outside a room
    // is touched through the link: each template stays as it stands, wholly old or wholly
    // new. An old content that was exchanged out before the change was committed could not go
    // back: its room stays, and is said.
    void clearLinkedRooms()
    {
        for (const JournalItem& room : linkedItems) {
            if (room.role != JournalItem::Role::room || !room.identity.known())
                continue;
            DirHandle::Fd folder(::open(joinPath(entry.places[room.place].root, entry.places[room.place].folder).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            Room found;
            if (!folder.valid() || found.find(folder.get(), room.path, room.identity) != 0)
                continue;
            std::vector<std::string> names;
            if (DirHandle::listNames(found.fd(), names) != 0)
                continue;
            bool keeps = false;
            for (const std::string& name : names) {
                Identity identity;
                struct stat st {};
                if (identityAt(found.fd(), name, identity) != 0
                    || ::fstatat(found.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                const auto recorded = std::find_if(linkedItems.begin(), linkedItems.end(), [&](const JournalItem& item) {
                    return item.role != JournalItem::Role::room && item.place == room.place && item.identity == identity;
                });
                const bool oldToKeep = recorded != linkedItems.end() && recorded->role == JournalItem::Role::old
                    && entry.state != JournalEntry::State::finish;
                // Only what the change made or displaced, or our own staging, goes.
                if (oldToKeep || (recorded == linkedItems.end() && st.st_uid != ::geteuid())) {
                    keeps = true;
                    continue;
                }
                Removal removal;
                const int error = removeInRoom(found.fd(), name, identity, DirHandle::Owners{false, {::geteuid()}, {}},
                                               found.fd(), name, removal);
                keeps = keeps || error != 0 || !removal.left.empty() || !removal.returnedAs.empty();
            }
            const int error = keeps ? ENOTEMPTY : found.removeIfEmpty(folder.get());
            if (error)
                tell("未能清理的临时文件夹（插件文件夹已换成符号链接，这个文件夹在链接指向的位置）："
                     + joinPath(places[room.place]->shown(), found.name()));
        }
    }

    std::string shown(std::size_t place, const std::string& path) const
    {
        return joinPath(places[place]->shown(), path);
    }

    // The room of the entry in `place` whose recorded name is `name`, or any found room of the
    // place when `name` is empty.
    const Room* roomOf(std::size_t place, std::string_view name) const
    {
        for (const auto& [index, room] : rooms) {
            const JournalItem& item = entry.items[index];
            if (item.place == place && (name.empty() || item.path == name))
                return room.get();
        }
        return nullptr;
    }

    // Whether `path` lies inside one of the entry's rooms (found or not).
    bool isInRoom(std::size_t place, const std::string& path) const
    {
        const std::size_t slash = path.find('/');
        return slash != std::string::npos
            && std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
                   return item.role == JournalItem::Role::room && item.place == place && item.path == path.substr(0, slash);
               });
    }

    Spot locate(std::size_t place, const std::string& path)
    {
        Spot spot;
        spot.place = place;
        const OpenedPlace& opened = *places[place];
        if (opened.error()) {
            spot.error = opened.error();
            note(spot.error);
            return spot;
        }
        const std::size_t slash = path.find('/');
        int from = opened.fd();
        std::string below = parentOf(path);
        if (slash != std::string::npos) {
            if (const Room* room = roomOf(place, std::string_view(path).substr(0, slash))) {
                from = room->fd();
                spot.inRoom = true;
                spot.room = room;
                below = parentOf(path.substr(slash + 1));
            } else if (isInRoom(place, path)) {
                spot.error = ENOENT; // the room is gone, and all it held with it
                return spot;
            }
        }
        if (below.empty()) {
            spot.fd = from;
        } else {
            // Links lead only to the place itself: below it an item's path never leaves it.
            if (const int error = DirHandle::openBelow(from, below, spot.held)) {
                spot.error = error;
                if (error != ENOENT)
                    note(error);
                return spot;
            }
            spot.fd = spot.held.get();
        }
        spot.name = nameOf(path);
        return spot;
    }

    // Whether the spot holds the item: its recorded identity, or, where none was recorded,
    // an empty file or folder of this user whose name carries the entry's id (in a room,
    // whatever it holds: nobody else can put anything there). A kill leaves such an item only
    // right after making it, empty; anything of ours with content in a shared folder was
    // renamed to its name (anyone may rename there), and is not ours to remove.
    bool isItem(const Spot& spot, const JournalItem& item) const
    {
        if (!spot)
            return false;
        struct stat st;
        if (::fstatat(spot.fd, spot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (item.identity.known()) {
            Identity found;
            return identityAt(spot.fd, spot.name, found) == 0 && found == item.identity;
        }
        if (item.role == JournalItem::Role::old || st.st_uid != ::geteuid())
            return false;
        if (spot.inRoom)
            return true;
        if (spot.name.find(entry.id) == std::string::npos)
            return false;
        if (S_ISREG(st.st_mode))
            return st.st_size == 0;
        DirHandle::Fd folder;
        std::vector<std::string> names;
        return S_ISDIR(st.st_mode) && DirHandle::openChild(spot.fd, spot.name, folder) == 0
            && DirHandle::listNames(folder.get(), names) == 0 && names.empty();
    }

    const JournalItem* itemAt(const Spot& spot, JournalItem::Role role) const
    {
        const auto found = std::find_if(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
            return item.role == role && item.place == spot.place && item.identity.known() && isItem(spot, item);
        });
        return found == entry.items.end() ? nullptr : &*found;
    }

    // The made or old item of the entry standing at `spot` (whose path in the place is
    // `path`): by identity anywhere, or recorded at that path without one. One look at the
    // spot, however many items the entry has.
    const JournalItem* recordedAt(const Spot& spot, const std::string& path, bool rooms = false) const
    {
        Identity found;
        if (!spot || identityAt(spot.fd, spot.name, found) != 0)
            return nullptr;
        const auto match = std::find_if(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
            if ((item.role == JournalItem::Role::room && !rooms) || item.place != spot.place)
                return false;
            return item.identity.known() ? found == item.identity : item.path == path && isItem(spot, item);
        });
        return match == entry.items.end() ? nullptr : &*match;
    }

    static bool exists(const Spot& spot)
    {
        struct stat st;
        return spot && ::fstatat(spot.fd, spot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Where a removed item goes back when it cannot go (its target's name in the place's
    // folder, else its own).
    static std::string returnName(const JournalItem& item)
    {
        return nameOf(item.target.empty() ? item.path : item.target);
    }

    void tell(const std::string& line)
    {
        if (std::find(report.notes.begin(), report.notes.end(), line) == report.notes.end())
            report.notes.push_back(line);
    }

    // `name` (in `room`, or beside it in the place's folder) is left for the administrator.
    // Without a room, the administrator's step makes one.
    void wantRights(const JournalItem& item, const Room* room, const std::string& name, const Identity& identity,
                    bool inRoom)
    {
        const std::string roomName = room ? room->name() : std::string();
        const bool known = std::any_of(report.remains.begin(), report.remains.end(), [&](const JournalRemains& r) {
            return r.room == roomName && r.name == name && r.inRoom == inRoom;
        });
        if (!known)
            report.remains.push_back({entry.id, places[item.place]->shown(), name, identity, roomName,
                                      room ? room->identity() : Identity{}, inRoom, returnName(item)});
    }

    // Removes `item`, found at `spot`: in a room by checking and emptying it there; elsewhere
    // by moving it into the place's room first. In a folder only we may change (our own
    // library) by its name, as found.
    void remove(const Spot& spot, const JournalItem& item)
    {
        const OpenedPlace& place = *places[item.place];
        const DirHandle::Owners owners = ownersOf(spot.fd, spot.name, ::geteuid());
        Removal removal;
        int error = 0;
        Identity expected = item.identity;
        const Room* room = roomOf(item.place, {});
        if ((spot.inRoom || room) && !expected.known() && identityAt(spot.fd, spot.name, expected) != 0)
            return;
        if (spot.inRoom) {
            error = removeInRoom(spot.fd, spot.name, expected, owners, place.fd(), returnName(item), removal);
            // Only an item right in the room can be named to the administrator's helper.
            if (lacksRights(error) && spot.room && spot.fd == spot.room->fd())
                wantRights(item, spot.room, spot.name, expected, true);
        } else if (room) {
            const std::string inside = "." + entry.id + ".removing-" + std::to_string(++aside);
            error = removeThroughRoom(spot.fd, spot.name, room->fd(), inside, expected, owners, removal);
            Identity there;
            if (lacksRights(error) && removal.returnedAs.empty()) {
                if (identityAt(room->fd(), inside, there) == 0 && there == expected)
                    wantRights(item, room, inside, expected, true);
                else if (spot.fd == place.fd())
                    wantRights(item, room, spot.name, expected, false); // it could not be moved
            }
        } else if (place.isPrivate() || !item.identity.known()) {
            // Nobody else renames here; an item without identity was seen empty by isItem().
            error = item.identity.known() ? DirHandle::removeAt(spot.fd, spot.name)
                                          : removeEmpty(spot);
        } else {
            error = EPERM; // a shared folder without a room of ours: nothing goes by name there
            // Another's (root's, beside its plug-in) is the administrator's, whose step takes
            // it into a room of its own.
            struct stat st;
            if (spot.fd == place.fd() && ::fstatat(spot.fd, spot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                && st.st_uid != ::geteuid())
                wantRights(item, nullptr, spot.name, expected, false);
        }
        note(error);
        // What stays in a room is named by the plug-in it was a copy of: the room's hidden name
        // means nothing to the user.
        const bool hidden = spot.inRoom || isInRoom(item.place, item.path);
        tellRemoval(item.place, item.path, error, removal, hidden ? &item : nullptr);
    }

    void tellRemoval(std::size_t place, const std::string& path, int error, const Removal& removal,
                     const JournalItem* inRoom = nullptr)
    {
        for (const std::string& left : removal.left)
            tell("其他用户的项目未删除：" + shown(place, joinPath(removal.returnedAs, left)));
        if (!removal.returnedAs.empty() && !removal.mismatch && removal.left.empty())
            tell("未能删除，已放回：" + shown(place, removal.returnedAs));
        if (error && removal.returnedAs.empty() && inRoom)
            tell("「" + returnName(*inRoom) + (inRoom->role == JournalItem::Role::old ? "」的旧版本" : "」的新版本")
                 + "未能删除，留在这个文件夹中一个隐藏的临时文件夹里：" + places[place]->shown());
        else if (error && removal.returnedAs.empty())
            tell("未能删除：" + shown(place, path));
    }

    // An item without identity, seen empty: rmdir or unlink removes nothing else.
    static int removeEmpty(const Spot& spot)
    {
        struct stat st;
        if (::fstatat(spot.fd, spot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return 0;
        if (::unlinkat(spot.fd, spot.name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT
            || errno == ENOTEMPTY || errno == EEXIST)
            return 0;
        return errno;
    }

    // A free name in the place's room (else beside the target) for a made item displaced by
    // two renames.
    Spot asideFor(const Spot& target)
    {
        Spot spot;
        spot.place = target.place;
        if (const Room* room = roomOf(target.place, {})) {
            spot.fd = room->fd();
            spot.room = room;
            spot.inRoom = true;
        } else {
            spot.fd = target.fd;
        }
        spot.name = "." + entry.id + ".undone-" + std::to_string(++aside);
        return spot;
    }

    // Puts `item` (at `from`) at `to` in place of the entry's item `displaced` standing there,
    // which is then removed. 0 or the errno.
    int replaceAt(const Spot& from, const Spot& to, const JournalItem& displaced)
    {
        const Spot side = asideFor(to);
        bool exchanged = false;
        if (const int error = DirHandle::swapIn(from.fd, from.name, to.fd, to.name, side.fd, side.name, exchanged))
            return error;
        Spot gone;
        gone.fd = exchanged ? from.fd : side.fd;
        gone.name = exchanged ? from.name : side.name;
        gone.place = displaced.place;
        gone.inRoom = exchanged ? from.inRoom : side.inRoom;
        gone.room = exchanged ? from.room : side.room;
        remove(gone, displaced);
        return 0;
    }

    // `item` at its target, in place of nothing or of the entry's item of role `displaced`
    // standing there (which then goes); true when it stands there, false when it cannot (not
    // found, or something not the entry's is there: only nothing or the entry's own item is
    // ever displaced).
    bool toTarget(const JournalItem& item, JournalItem::Role displaced, const char* which)
    {
        const Spot at = locate(item.place, item.path);
        const Spot to = locate(item.place, item.target);
        if (isItem(to, item))
            return true; // there already
        if (!isItem(at, item) || !to)
            return false;
        if (!exists(to)) {
            const int error = DirHandle::moveAt(at.fd, at.name, to.fd, to.name);
            note(error);
            return error == 0;
        }
        const JournalItem* there = itemAt(to, displaced);
        if (!there) {
            note(EEXIST);
            kept.emplace_back(item.place, item.path);
            tell("「" + shown(item.place, item.target) + "」处已有别的项目，" + which + "留在："
                 + shown(item.place, roomShown(at, item.path)));
            return false;
        }
        const int error = replaceAt(at, to, *there);
        note(error);
        return error == 0;
    }

    bool putBack(const JournalItem& old) { return toTarget(old, JournalItem::Role::made, "旧版本"); }
    bool putInPlace(const JournalItem& made) { return toTarget(made, JournalItem::Role::old, "新版本"); }

    // The path of an item as it stands now (its room under the name it was found at).
    std::string roomShown(const Spot& spot, const std::string& path) const
    {
        const std::size_t slash = path.find('/');
        if (!spot.inRoom || slash == std::string::npos)
            return path;
        const Room* room = roomOf(spot.place, std::string_view(path).substr(0, slash));
        return room ? room->name() + path.substr(slash) : path;
    }

    bool findable(const JournalItem& made)
    {
        return isItem(locate(made.place, made.target), made) || isItem(locate(made.place, made.path), made);
    }

    void removeAt(const JournalItem& item)
    {
        const Spot at = locate(item.place, item.path);
        if (isItem(at, item))
            remove(at, item);
    }

    // Whether `path` (or something inside it) is to stay: a new item that could not be put in
    // place; while undoing, an old item that could not go back.
    bool holdsKept(std::size_t place, const std::string& path)
    {
        const auto under = [&](const std::string& at) { return at == path || at.starts_with(path + "/"); };
        return std::any_of(kept.begin(), kept.end(), [&](const auto& k) { return k.first == place && under(k.second); })
            || (undoing && std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& old) {
                   return old.role == JournalItem::Role::old && old.place == place && under(old.path)
                       && isItem(locate(old.place, old.path), old);
               }));
    }

    // Whether what stands at `spot` (path `path` in its place) is one of the entry's items.
    bool holdsEntryItem(const Spot& spot, const std::string& path) const
    {
        return recordedAt(spot, path, true) != nullptr;
    }

    // The items whose own name something else holds now: a room not found whose name holds a
    // folder of a room's form (ours, 0700), an item outside the rooms whose path holds what is
    // none of the entry's; anything at all in a folder only we may change. The entry no longer
    // says what is on disk (restored from a backup, copied back). In a shared folder anyone may
    // rename anything onto a name: there a name held proves nothing.
    std::vector<std::string> doubts()
    {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < entry.items.size(); ++i) {
            const JournalItem& item = entry.items[i];
            if (!item.identity.known() || rooms.count(i) || isInRoom(item.place, item.path))
                continue;
            const bool isPrivate = places[item.place]->isPrivate();
            if (!isPrivate && item.role != JournalItem::Role::room)
                continue;
            const Spot spot = locate(item.place, item.path);
            struct stat st;
            if (!spot || ::fstatat(spot.fd, spot.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            const bool roomForm = S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
            const std::string path = shown(item.place, item.path);
            if ((isPrivate || roomForm) && !holdsEntryItem(spot, item.path)
                && std::find(out.begin(), out.end(), path) == out.end())
                out.push_back(path);
        }
        return out;
    }

    void undo()
    {
        using Role = JournalItem::Role;
        // Targets whose old item could not go back: the item standing there stays. Those whose
        // old item was found nowhere are lost, never nothing.
        std::vector<std::pair<std::size_t, std::string>> keep;
        std::vector<std::pair<std::size_t, std::string>> lost;
        for (const JournalItem& item : entry.items) {
            if (item.role != Role::old)
                continue;
            const auto same = [&](const JournalItem& other) {
                return other.role == Role::old && other.place == item.place && other.target == item.target
                    && other.identity == item.identity;
            };
            if (std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& other) {
                    return &other < &item && same(other);
                }))
                continue; // one item recorded at two places: one look is enough
            const bool seen = std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& other) {
                return same(other)
                    && (isItem(locate(other.place, other.path), other) || isItem(locate(other.place, other.target), other));
            });
            const bool anyFound = std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& other) {
                return same(other) && putBack(other);
            });
            if (!anyFound)
                keep.emplace_back(item.place, item.target);
            if (!seen)
                lost.emplace_back(item.place, item.target);
        }
        std::vector<std::pair<std::size_t, std::string>> told;
        for (const JournalItem& item : entry.items) {
            if (item.role != Role::made)
                continue;
            if (!holdsKept(item.place, item.path))
                removeAt(item);
            if (item.target.empty() || !item.identity.known())
                continue;
            const Spot to = locate(item.place, item.target);
            if (!isItem(to, item))
                continue;
            if (std::find(keep.begin(), keep.end(), std::make_pair(item.place, item.target)) != keep.end()) {
                // Never removed without its old item in its place.
                note(ENOENT);
                told.emplace_back(item.place, item.target);
                tell("旧版本找不到了（可能被其他用户移走），新版本留在原处：" + shown(item.place, item.target));
                continue;
            }
            remove(to, item);
        }
        for (const std::pair<std::size_t, std::string>& target : lost) {
            if (std::find(told.begin(), told.end(), target) != told.end())
                continue;
            note(ENOENT);
            tell("旧版本找不到了（可能被其他用户移走），未能放回：" + shown(target.first, target.second));
        }
    }

    // Committed: the change only goes forward. A new item found nowhere (the user removed or
    // renamed it since) is settled, said once; its old one still goes, and so does the rest.
    void finish()
    {
        using Role = JournalItem::Role;
        for (const JournalItem& item : entry.items) {
            if (item.role != Role::made || item.target.empty())
                continue;
            if (!findable(item)) {
                std::vector<std::string>& names = missing[item.place];
                if (std::find(names.begin(), names.end(), item.target) == names.end())
                    names.push_back(item.target);
                continue;
            }
            if (!putInPlace(item) && !firstError)
                note(ENOENT);
        }
        for (const JournalItem& item : entry.items) {
            if (((item.role == Role::made && item.target.empty()) || item.role == Role::old)
                && !holdsKept(item.place, item.path))
                removeAt(item);
        }
    }

    // Puts what stands at `spot` (path `path` in its place), not the entry's, back out into the
    // place's folder, and names it.
    void sendBack(const Spot& spot, const std::string& path)
    {
        const auto recorded = std::find_if(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
            return item.role != JournalItem::Role::room && item.place == spot.place && item.path == path;
        });
        const std::string back = recorded == entry.items.end() ? spot.name : returnName(*recorded);
        Removal removal;
        // No identity matches an unknown one: the item goes back whole, untouched.
        const int error = removeInRoom(spot.fd, spot.name, Identity{}, {}, places[spot.place]->fd(), back, removal);
        note(error);
        if (!removal.returnedAs.empty())
            tell("不是这次操作记录的项目，已放回：" + shown(spot.place, removal.returnedAs));
        else if (error)
            tell("不是这次操作记录的项目，未能放回：" + shown(spot.place, roomShown(spot, path)));
    }

    // Empties the room (or a folder of ours in it, at `prefix` in the place) of what its entry
    // recorded as made or displaced, and of our own staging at names no item records; what is
    // to stay stays; anything else goes back out to the place's folder, named.
    void clearFolder(int fd, const Room& room, std::size_t place, const std::string& prefix, std::size_t depth)
    {
        std::vector<std::string> names;
        if (const int error = DirHandle::listNames(fd, names)) {
            note(error);
            return;
        }
        const auto anyPath = [&](const std::function<bool(const std::string&)>& test) {
            return std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
                return item.role != JournalItem::Role::room && item.place == place && test(item.path);
            });
        };
        for (const std::string& name : names) {
            const std::string path = prefix + "/" + name;
            if (holdsKept(place, path))
                continue;
            Spot spot;
            spot.fd = fd;
            spot.name = name;
            spot.place = place;
            spot.room = &room;
            spot.inRoom = true;
            struct stat st;
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (const JournalItem* item = recordedAt(spot, path)) {
                remove(spot, *item);
                continue;
            }
            const bool ours = st.st_uid == ::geteuid();
            const bool onTheWay = anyPath([&](const std::string& at) { return at.starts_with(path + "/"); });
            if (onTheWay && ours && S_ISDIR(st.st_mode) && depth < DirHandle::kMaxTreeDepth) {
                DirHandle::Fd inner;
                if (const int error = DirHandle::openChild(fd, name, inner)) {
                    note(error);
                    continue;
                }
                clearFolder(inner.get(), room, place, path, depth + 1);
                if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && errno != ENOTEMPTY
                    && errno != EEXIST)
                    note(errno);
                continue;
            }
            if (ours && !onTheWay && !anyPath([&](const std::string& at) { return at == path; })) {
                // Our own staging, stopped before it was recorded: only what is ours goes.
                Identity found;
                Removal removal;
                if (identityAt(fd, name, found) != 0)
                    continue;
                const int error = removeInRoom(fd, name, found, DirHandle::Owners{false, {::geteuid()}, {}},
                                               places[place]->fd(), name, removal);
                note(error);
                tellRemoval(place, path, error, removal);
                continue;
            }
            sendBack(spot, path);
        }
    }

    void removeRooms()
    {
        for (std::size_t i = 0; i < entry.items.size(); ++i) {
            const JournalItem& item = entry.items[i];
            if (item.role != JournalItem::Role::room)
                continue;
            const OpenedPlace& place = *places[item.place];
            const auto found = rooms.find(i);
            if (found != rooms.end()) {
                clearFolder(found->second->fd(), *found->second, item.place, item.path, 0);
                const int error = found->second->removeIfEmpty(place.fd());
                note(error);
                const bool forAdministrator = std::any_of(report.remains.begin(), report.remains.end(), [&](const JournalRemains& r) {
                    return r.inRoom && r.room == found->second->name();
                });
                // A room kept for what the administrator is to remove is said with that.
                if (error == ENOTEMPTY && !forAdministrator)
                    tell("未能清理的临时文件夹：" + shown(item.place, found->second->name()));
                else if (error == EEXIST) // the room stands: what went was another's, put at its name
                    tell("清理时删除了其他用户放在临时文件夹名字上的一个空文件夹：" + shown(item.place, found->second->name()));
                continue;
            }
            // Recorded before it was made: removed only while it is empty (isItem).
            Spot spot = locate(item.place, item.path);
            if (isItem(spot, item))
                note(removeEmpty(spot));
        }
    }

    int run()
    {
        // A place out of reach proves nothing: the entry waits, whole.
        for (std::size_t i = 0; i < places.size(); ++i) {
            const auto& place = places[i];
            if (gone[i]) {
                inform("以下位置原来的文件夹已不在那里（现在是符号链接），上次在其中没有完成的更改无法复原，不再等待：" + place->shown());
            } else if (removed[i]) {
                if (!removedWith[i])
                    inform("插件文件夹已被删除或改名，上次在其中没有完成的更改不再处理：" + place->shown());
            } else if (place->error()) {
                report.waits.push_back({entry.id, place->shown(), place->error()});
                note(place->error());
            }
        }
        if (!report.waits.empty())
            return firstError;
        if (const std::vector<std::string> doubted = doubts(); !doubted.empty()) {
            note(EEXIST);
            // The hidden names that differ mean nothing to the user; what the change covers does.
            tell("上次没有完成的操作与磁盘上的现状不符（可能是从备份还原的），未做改动。" + coveredText(entry));
            return firstError;
        }
        undoing = entry.state != JournalEntry::State::finish;
        if (undoing)
            undo();
        else
            finish();
        removeRooms();
        clearLinkedRooms();
        tellMissing();
        return firstError;
    }

    // One line a place, whatever the count: the user looks at the plug-in, not at each file.
    void tellMissing()
    {
        constexpr std::size_t kShown = 3;
        for (const auto& [place, targets] : missing) {
            std::string line = "上次的更改已经完成，但其中的新版本已不在原处（可能被删除或改名），不再处理：";
            if (targets.size() == 1) {
                line += shown(place, targets.front());
            } else {
                line += places[place]->shown() + " 中的 ";
                for (std::size_t i = 0; i < targets.size() && i < kShown; ++i)
                    line += (i ? "、" : "") + targets[i];
                line += targets.size() > kShown ? " 等 " + std::to_string(targets.size()) + " 项" : std::string();
            }
            inform(line);
        }
    }

    // What recovery settled, nothing being left to put right: said once, as the entry goes.
    void inform(const std::string& line)
    {
        if (std::find(report.info.begin(), report.info.end(), line) == report.info.end())
            report.info.push_back(line);
    }
};

} // namespace

int recoverEntry(const JournalEntry& entry, RecoveryReport& report)
{
    if (entry.damaged)
        return EINVAL;
    Recovery recovery(entry);
    const int error = recovery.run();
    report = std::move(recovery.report);
    return error;
}

int recoverEntry(const JournalEntry& entry, std::vector<std::string>* notes)
{
    RecoveryReport report;
    const int error = recoverEntry(entry, report);
    if (notes) {
        notes->insert(notes->end(), report.notes.begin(), report.notes.end());
        notes->insert(notes->end(), report.info.begin(), report.info.end());
    }
    return error;
}

JournalReport recoverJournal(const Journal& journal, const std::function<bool(std::string_view id)>& running)
{
    JournalReport out;
    journal.removeTornWrites(running);
    for (JournalEntry& entry : journal.entries()) {
        if (running && running(entry.id))
            continue;
        if (entry.damaged) {
            out.incomplete = true;
            const std::string aside = journal.setAside(entry.id);
            out.tell.push_back("一条未完成操作的记录已损坏或格式过旧，无法据此复原"
                               + (aside.empty() ? std::string("。") : "，已移到：" + aside) + coveredText(entry));
            continue;
        }
        RecoveryReport report;
        if (recoverEntry(entry, report) == 0) {
            // What recovery did is on the library's disks before its entry leaves the journal's;
            // settled, yet something was left (a folder gone for good): said now, as the entry goes.
            if (syncPlaces(entry) == 0 && journal.remove(entry.id) == 0) {
                out.incomplete = out.incomplete || !report.notes.empty();
                out.tell.insert(out.tell.end(), report.notes.begin(), report.notes.end());
                out.tell.insert(out.tell.end(), report.info.begin(), report.info.end());
            }
            continue;
        }
        out.waits.insert(out.waits.end(), report.waits.begin(), report.waits.end());
        out.remains.insert(out.remains.end(), report.remains.begin(), report.remains.end());
        if (entry.told || (report.notes.empty() && report.info.empty()))
            continue;
        entry.told = true;
        if (journal.write(entry) == 0) {
            out.incomplete = true; // the entry stays: something is left to put right
            out.tell.insert(out.tell.end(), report.notes.begin(), report.notes.end());
            out.tell.insert(out.tell.end(), report.info.begin(), report.info.end());
        }
    }
    return out;
}

} // namespace SafeFS
