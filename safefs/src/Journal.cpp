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

namespace SafeFS {

namespace {

constexpr std::string_view kHeader = "loomwork journal 1";
constexpr std::string_view kEnd = "end";
constexpr std::string_view kSuffix = ".entry";
constexpr std::size_t kIdDigits = 16;
// An entry names at most every template of a plug-in; anything far larger is not ours.
constexpr off_t kMaxEntryBytes = 64LL * 1024 * 1024;

bool isId(std::string_view id)
{
    return id.size() == kIdDigits
        && std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2 + 1);
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    // An empty field stays one word on its line.
    return out.empty() ? std::string("-") : out;
}

std::optional<std::string> unhex(std::string_view text)
{
    if (text == "-")
        return std::string();
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 2);
    const auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = value(text[i]);
        const int low = value(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(char(high * 16 + low));
    }
    return out;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t space = line.find(' ', start);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        out.push_back(line.substr(start, end - start));
        if (space == std::string_view::npos)
            break;
        start = space + 1;
    }
    return out;
}

std::optional<std::uint64_t> number(std::string_view text)
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const std::uint64_t next = value * 10 + std::uint64_t(c - '0');
        if (next / 10 != value)
            return std::nullopt;
        value = next;
    }
    return value;
}

std::string parentOf(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string nameOf(std::string_view path)
{
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string joinPath(const std::string& a, const std::string& b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a.back() == '/' ? a + b : a + "/" + b;
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
    const JournalEntry& entry;
    std::vector<std::unique_ptr<OpenedPlace>> places;
    // The entry's rooms that were found, by item index.
    std::map<std::size_t, std::unique_ptr<Room>> rooms;
    int firstError = 0;
    RecoveryReport report;
    unsigned aside = 0;
    // Items that stay where they lie (paths in their place): new ones that could not be put
    // in place. A room keeps them, and so does a made folder holding one.
    std::vector<std::pair<std::size_t, std::string>> kept;
    bool undoing = false;

    explicit Recovery(const JournalEntry& e) : entry(e)
    {
        for (const JournalPlace& place : e.places)
            places.push_back(std::make_unique<OpenedPlace>(place));
        for (std::size_t i = 0; i < e.items.size(); ++i) {
            const JournalItem& item = e.items[i];
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
    void wantRights(const JournalItem& item, const Room& room, const std::string& name, const Identity& identity,
                    bool inRoom)
    {
        const bool known = std::any_of(report.remains.begin(), report.remains.end(), [&](const JournalRemains& r) {
            return r.room == room.name() && r.name == name && r.inRoom == inRoom;
        });
        if (!known)
            report.remains.push_back({entry.id, places[item.place]->shown(), name, identity, room.name(), room.identity(),
                                      inRoom, returnName(item)});
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
                wantRights(item, *spot.room, spot.name, expected, true);
        } else if (room) {
            const std::string inside = "." + entry.id + ".removing-" + std::to_string(++aside);
            error = removeThroughRoom(spot.fd, spot.name, room->fd(), inside, expected, owners, removal);
            Identity there;
            if (lacksRights(error) && removal.returnedAs.empty()) {
                if (identityAt(room->fd(), inside, there) == 0 && there == expected)
                    wantRights(item, *room, inside, expected, true);
                else if (spot.fd == place.fd())
                    wantRights(item, *room, spot.name, expected, false); // it could not be moved
            }
        } else if (place.isPrivate() || !item.identity.known()) {
            // Nobody else renames here; an item without identity was seen empty by isItem().
            error = item.identity.known() ? DirHandle::removeAt(spot.fd, spot.name)
                                          : removeEmpty(spot);
        } else {
            error = EPERM; // a shared folder without a room of ours: nothing goes by name there
        }
        note(error);
        tellRemoval(item.place, item.path, error, removal);
    }

    void tellRemoval(std::size_t place, const std::string& path, int error, const Removal& removal)
    {
        for (const std::string& left : removal.left)
            tell("其他用户的项目未删除：" + shown(place, joinPath(removal.returnedAs, left)));
        if (!removal.returnedAs.empty() && !removal.mismatch && removal.left.empty())
            tell("未能删除，已放回：" + shown(place, removal.returnedAs));
        if (error && removal.returnedAs.empty())
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

    void finish()
    {
        using Role = JournalItem::Role;
        for (const JournalItem& item : entry.items) {
            if (item.role == Role::made && !item.target.empty() && !putInPlace(item) && !firstError)
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
                if (error == ENOTEMPTY)
                    tell("未能清理的临时文件夹：" + shown(item.place, found->second->name()));
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
        using Role = JournalItem::Role;
        // A place out of reach proves nothing: the entry waits, whole.
        for (const auto& place : places) {
            if (place->error()) {
                report.waits.push_back({entry.id, place->shown(), place->error()});
                note(place->error());
            }
        }
        if (!report.waits.empty())
            return firstError;
        if (const std::vector<std::string> doubted = doubts(); !doubted.empty()) {
            note(EEXIST);
            for (const std::string& path : doubted)
                tell("与操作记录不符，未做改动：" + path);
            return firstError;
        }
        bool finishing = entry.state == JournalEntry::State::finish;
        // A change that cannot be finished whole (a made item gone) is undone instead.
        if (finishing)
            finishing = std::all_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
                return item.role != Role::made || item.target.empty() || findable(item);
            });
        undoing = !finishing;
        if (finishing)
            finish();
        else
            undo();
        removeRooms();
        return firstError;
    }
};

} // namespace

int identityAt(int parent, std::string_view name, Identity& out) noexcept
{
    char copy[PATH_MAX];
    if (name.size() >= sizeof copy)
        return ENAMETOOLONG;
    name.copy(copy, name.size());
    copy[name.size()] = '\0';
#if defined(__linux__)
    struct statx st;
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(parent, copy, flags, STATX_INO | STATX_BTIME, &st) != 0)
        return errno;
    out = Identity{std::uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor)), std::uint64_t(st.stx_ino),
                   (st.stx_mask & STATX_BTIME) ? std::uint64_t(st.stx_btime.tv_sec) * 1000000000u + st.stx_btime.tv_nsec : 0};
#else
    struct stat st;
    if ((name.empty() ? ::fstat(parent, &st) : ::fstatat(parent, copy, &st, AT_SYMLINK_NOFOLLOW)) != 0)
        return errno;
    out = Identity{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
                   std::uint64_t(st.st_birthtimespec.tv_sec) * 1000000000u + std::uint64_t(st.st_birthtimespec.tv_nsec)};
#endif
    return 0;
}

bool isInsidePath(std::string_view path)
{
    if (path.empty() || path.front() == '/')
        return false;
    for (std::string_view rest = path;;) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos)
            return false;
        if (slash == std::string_view::npos)
            return true;
        rest.remove_prefix(slash + 1);
    }
}

std::string newJournalId()
{
    unsigned char bytes[kIdDigits / 2];
#if defined(__linux__)
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += std::size_t(n);
        else if (errno != EINTR)
            std::abort(); // no randomness: no safe unique name either
    }
#else
    arc4random_buf(bytes, sizeof bytes);
#endif
    const std::string out = hex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
    return out;
}

std::string formatEntry(const JournalEntry& entry)
{
    std::string text(kHeader);
    text += "\nid " + entry.id + "\nkind " + hex(entry.kind) + "\nstate "
          + (entry.state == JournalEntry::State::finish ? "finish" : "undo") + "\n";
    for (const JournalPlace& place : entry.places)
        text += "place " + hex(place.root) + " " + hex(place.folder) + " " + (place.followLinks ? "1" : "0") + "\n";
    for (const JournalItem& item : entry.items) {
        const char* role = item.role == JournalItem::Role::old ? "old" : item.role == JournalItem::Role::room ? "room" : "made";
        text += std::string("item ") + role + " "
              + std::to_string(item.place) + " " + hex(item.path) + " " + hex(item.target) + " "
              + std::to_string(item.identity.device) + " " + std::to_string(item.identity.inode) + " "
              + std::to_string(item.identity.born) + "\n";
    }
    if (entry.told)
        text += "told\n";
    text += std::string(kEnd) + "\n";
    return text;
}

JournalEntry parseEntry(std::string_view text, std::string_view id)
{
    JournalEntry entry;
    entry.id = std::string(id);
    // A bad line damages the entry; the rest is still read, to say what the entry covers.
    bool damaged = !isId(id);
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            damaged = true; // every line ends, the last one included
            break;
        }
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    if (lines.size() < 5 || lines.front() != kHeader || lines.back() != kEnd)
        damaged = true;
    bool sawId = false, sawKind = false, sawState = false, sawTold = false;
    const auto readLine = [&](const std::vector<std::string_view>& w) {
        if (w[0] == "id" && w.size() == 2 && w[1] == id && !sawId)
            return sawId = true;
        if (w[0] == "kind" && w.size() == 2 && !sawKind) {
            const auto kind = unhex(w[1]);
            if (kind)
                entry.kind = *kind;
            return sawKind = kind.has_value();
        }
        if (w[0] == "state" && w.size() == 2 && !sawState && (w[1] == "undo" || w[1] == "finish")) {
            entry.state = w[1] == "finish" ? JournalEntry::State::finish : JournalEntry::State::undo;
            return sawState = true;
        }
        if (w[0] == "place" && w.size() == 4 && (w[3] == "0" || w[3] == "1")) {
            const auto root = unhex(w[1]);
            const auto folder = unhex(w[2]);
            if (!root || !folder || root->empty() || root->front() != '/' || root->find('\0') != std::string::npos
                || (!folder->empty() && !isInsidePath(*folder)))
                return false;
            entry.places.push_back(JournalPlace{*root, *folder, w[3] == "1"});
            return true;
        }
        if (w[0] == "told" && w.size() == 1 && !sawTold)
            return entry.told = sawTold = true;
        if (w[0] == "item" && (w.size() == 7 || w.size() == 8) && (w[1] == "made" || w[1] == "old" || w[1] == "room")) {
            const auto place = number(w[2]);
            const auto path = unhex(w[3]);
            const auto target = unhex(w[4]);
            const auto device = number(w[5]);
            const auto inode = number(w[6]);
            // The older form has no birth time: its identity may name a later item.
            const auto born = w.size() == 8 ? number(w[7]) : std::optional<std::uint64_t>(0);
            if (!place || !path || !target || !device || !inode || !born || *place >= entry.places.size()
                || !isInsidePath(*path) || (!target->empty() && !isInsidePath(*target)))
                return false;
            JournalItem item;
            item.role = w[1] == "old" ? JournalItem::Role::old : w[1] == "room" ? JournalItem::Role::room : JournalItem::Role::made;
            item.place = std::size_t(*place);
            item.path = *path;
            item.target = *target;
            item.identity = Identity{*device, *inode, *born};
            entry.items.push_back(std::move(item));
            const JournalItem& added = entry.items.back();
            // An old item is known only by its identity, and always goes back somewhere.
            if (added.role == JournalItem::Role::old && (!added.identity.known() || added.target.empty()))
                return false;
            // A room is one folder of its place, and goes nowhere.
            if (added.role == JournalItem::Role::room && (added.path.find('/') != std::string::npos || !added.target.empty()))
                return false;
            return w.size() == 8;
        }
        return false;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if ((i == 0 && lines[i] == kHeader) || (i > 0 && i + 1 == lines.size() && lines[i] == kEnd))
            continue;
        if (!readLine(words(lines[i])))
            damaged = true;
    }
    entry.damaged = damaged || !(sawId && sawKind && sawState);
    return entry;
}

std::vector<std::string> coveredPaths(const JournalEntry& entry)
{
    std::vector<std::string> out;
    const auto add = [&](std::string path) {
        if (std::find(out.begin(), out.end(), path) == out.end())
            out.push_back(std::move(path));
    };
    for (const JournalItem& item : entry.items) {
        if (!item.target.empty() && item.place < entry.places.size())
            add(joinPath(joinPath(entry.places[item.place].root, entry.places[item.place].folder), item.target));
    }
    for (std::size_t i = 0; i < entry.places.size(); ++i) {
        if (std::none_of(entry.items.begin(), entry.items.end(),
                         [&](const JournalItem& item) { return item.place == i && !item.target.empty(); }))
            add(joinPath(entry.places[i].root, entry.places[i].folder));
    }
    return out;
}

int writeEntryAt(int folder, std::string_view name, const JournalEntry& entry)
{
    const std::string text = formatEntry(entry);
    // Of the form isEntryTemporary() knows.
    const std::string temporary = std::string(name) + ".tmp-" + newJournalId();
    DirHandle::Fd file;
    if (const int error = DirHandle::createFileAt(folder, temporary, 0600, file))
        return error;
    int error = 0;
    for (std::size_t done = 0; done < text.size() && !error;) {
        const ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (errno != EINTR)
            error = errno;
    }
    // The mode is checked when read back: the umask may not take a bit away.
    if (!error && ::fchmod(file.get(), 0600) != 0)
        error = errno;
    if (!error && ::fsync(file.get()) != 0)
        error = errno;
    if (!error)
        error = DirHandle::renameAt(folder, temporary, folder, name, DirHandle::Rename::replace);
    if (error) {
        ::unlinkat(folder, temporary.c_str(), 0);
        return error;
    }
    return ::fsync(folder) == 0 ? 0 : errno;
}

std::optional<JournalEntry> readEntryAt(int folder, std::string_view name, std::string_view id)
{
    const std::string copy(name);
    const int fd = ::openat(folder, copy.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        JournalEntry damaged;
        damaged.id = std::string(id);
        damaged.damaged = true;
        return damaged;
    }
    DirHandle::Fd file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 07777) != 0600
        || st.st_size > kMaxEntryBytes)
        return std::nullopt; // not of our form: not ours
    std::string text(std::size_t(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += std::size_t(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    text.resize(done);
    return parseEntry(text, id);
}

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
    if (notes)
        notes->insert(notes->end(), report.notes.begin(), report.notes.end());
    return error;
}

namespace {

// What a damaged entry covers, as far as it can be read: the user looks there.
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

} // namespace

JournalReport recoverJournal(const Journal& journal, const std::function<bool(std::string_view id)>& running)
{
    JournalReport out;
    journal.removeTornWrites(running);
    for (JournalEntry& entry : journal.entries()) {
        if (running && running(entry.id))
            continue;
        if (entry.damaged) {
            const std::string aside = journal.setAside(entry.id);
            out.tell.push_back("一条未完成操作的记录已损坏或格式过旧，无法据此复原"
                               + (aside.empty() ? std::string("。") : "，已移到：" + aside) + coveredText(entry));
            continue;
        }
        RecoveryReport report;
        if (recoverEntry(entry, report) == 0) {
            (void)journal.remove(entry.id);
            continue;
        }
        out.waits.insert(out.waits.end(), report.waits.begin(), report.waits.end());
        out.remains.insert(out.remains.end(), report.remains.begin(), report.remains.end());
        if (entry.told || report.notes.empty())
            continue;
        entry.told = true;
        if (journal.write(entry) == 0)
            out.tell.insert(out.tell.end(), report.notes.begin(), report.notes.end());
    }
    return out;
}

} // namespace SafeFS
