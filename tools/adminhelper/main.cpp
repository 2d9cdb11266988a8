// loomwork-admin OPERATION ROOT ARGS...
//
// Run as root by Loomwork for the system library at ROOT (absolute, links above it already
// resolved), FOLDER being a folder inside it ("Effects.localized"):
//   remove ROOT FOLDER NAME ROOM ROOM-ID ITEM-ID ASKER [OWNER]
//        moves NAME into ROOM (both in FOLDER), and removes it there while it is ITEM-ID
//   remove-in-room ROOT FOLDER ROOM ROOM-ID INSIDE ITEM-ID SHOWN ASKER [OWNER]
//        removes INSIDE of ROOM while it is ITEM-ID
//   replace ROOT FOLDER NAME SOURCE ROOM ROOM-ID OLD-ID ASKER [OWNER]
//        copies SOURCE into ROOM (into its empty folder "incoming" where the application made
//        one), puts the copy at NAME, and removes what stood there while it is OLD-ID ("0:0:0":
//        nothing was there)
//   mkdir ROOT PATH            creates the folder and what is missing above it, then opens
//                              the folder's tree to everyone
//   prepare-root ROOT          creates ROOT and its four category folders, then opens ROOT's
//                              tree to everyone
//   permit ROOT                opens ROOT's tree to everyone
// ROOM is a private room the application made and recorded in its journal (a folder of ASKER's,
// mode 0700, nobody else can enter), ROOM-ID its identity and ITEM-ID the identity the
// application recorded of the item ("device:inode:born"). Every other local user may rename or
// exchange any name in the library, so the helper acts on nothing but these identities: the
// item is moved into the room by one rename, checked there, and only then emptied, of what
// belongs to its owner, root or ASKER; anything of another user's found inside is left and
// goes back out with what holds it (to NAME, or SHOWN, or "NAME 2", …). An item that is not
// the recorded one goes back untouched. OWNER, where given, is the uid the user was told owns
// the item: an item of any other owner goes back untouched too (the user agreed to nothing
// about it). The helper never writes into the journal.
// "--hex" before the operation: every argument after it is given as its bytes in hexadecimal
// (names need not be UTF-8, a process's arguments may be re-encoded on the way).
// Every step is taken through folder handles from ROOT down: a link met on the way refuses the
// operation. Exit status 0 on success, 1 when the operation failed, 2 for arguments it
// refuses, 3 when the item was not the recorded one (nothing removed), 4 when another user's
// items were left, 5 when the item's owner is not OWNER (nothing removed, nothing replaced);
// the reason goes to stderr, each item left as a line "loomwork-admin: left HEX" (its path
// inside FOLDER, in hexadecimal), and an item of another owner as
// "loomwork-admin: not the owner told, UID, left at HEX".
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Room.h>

namespace {

using DirHandle::Fd;

constexpr const char* kCategories[] = {"Effects.localized", "Titles.localized", "Generators.localized",
                                       "Transitions.localized"};
constexpr mode_t kOpen = 0777;

// "2f746d70" -> "/tmp"; false when it is not an even count of hexadecimal digits.
bool fromHex(std::string_view hex, std::string& out)
{
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]);
        const int low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(char(high * 16 + low));
    }
    return true;
}

int usage(const char* why)
{
    std::fprintf(stderr, "loomwork-admin: %s\n", why);
    return 2;
}

int failure(const std::string& what, int error)
{
    const char* reason = error == ELOOP ? "a symbolic link on the way, refused" : std::strerror(error);
    std::fprintf(stderr, "loomwork-admin: %s: %s\n", what.c_str(), reason);
    return 1;
}

std::vector<std::string> split(std::string_view path)
{
    std::vector<std::string> parts;
    for (;;) {
        const std::size_t slash = path.find('/');
        parts.emplace_back(path.substr(0, slash));
        if (slash == std::string_view::npos)
            return parts;
        path = path.substr(slash + 1);
    }
}

// Every component a plain name: no "", ".", "..".
bool isPlainPath(std::string_view path)
{
    for (const std::string& part : split(path)) {
        if (!DirHandle::isPlainName(part))
            return false;
    }
    return true;
}

bool isPlainRoot(std::string_view root)
{
    return root.size() > 1 && root.front() == '/' && isPlainPath(root.substr(1));
}

// Creates the root when it is missing (with its parents, as `mkdir -p` would) and opens it.
int makeRoot(const std::string& root, Fd& out)
{
    int error = DirHandle::openRoot(root, out);
    if (error != ENOENT)
        return error;
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (ec && ec.value() != EEXIST)
        return ec.value();
    return DirHandle::openRoot(root, out);
}

constexpr int kNotTheItem = 3;
constexpr int kLeftOthers = 4;
constexpr int kNotTheOwner = 5;

// The owner the user was told of, when the application gave one.
struct Told {
    bool given = false;
    uid_t owner = 0;
};

// "device:inode:born" as recorded by the application.
bool parseIdentity(std::string_view text, SafeFS::Identity& out)
{
    std::uint64_t parts[3] = {0, 0, 0};
    std::size_t part = 0;
    bool digit = false;
    for (const char c : text) {
        if (c == ':' && digit && part < 2) {
            ++part;
            digit = false;
            continue;
        }
        if (c < '0' || c > '9' || parts[part] > (UINT64_MAX - 9) / 10)
            return false;
        parts[part] = parts[part] * 10 + std::uint64_t(c - '0');
        digit = true;
    }
    if (part != 2 || !digit)
        return false;
    out = SafeFS::Identity{parts[0], parts[1], parts[2]};
    return true;
}

bool parseUid(std::string_view text, uid_t& out)
{
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + std::uint64_t(c - '0');
    }
    out = uid_t(value);
    return std::uint64_t(out) == value;
}

std::string hexOf(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// What the removal did besides removing, for the application to tell the user.
int report(const SafeFS::Removal& removal)
{
    if (removal.mismatch) {
        std::fprintf(stderr, "loomwork-admin: not the recorded item, left at %s\n", hexOf(removal.returnedAs).c_str());
        return kNotTheItem;
    }
    for (const std::string& left : removal.left) {
        const std::string path = left.empty() ? removal.returnedAs : removal.returnedAs + "/" + left;
        std::fprintf(stderr, "loomwork-admin: left %s\n", hexOf(path).c_str());
    }
    return removal.left.empty() ? 0 : kLeftOthers;
}

// The folder FOLDER and the application's room in it, as recorded.
int openFolderAndRoom(const std::string& root, const std::string& folder, const std::string& roomName,
                      const SafeFS::Identity& roomId, uid_t asker, Fd& parent, SafeFS::Room& room)
{
    if (const int error = DirHandle::openPath(root, folder, parent))
        return error;
    if (!DirHandle::isPlainName(roomName) || !SafeFS::isHiddenForm(roomName))
        return EINVAL;
    return room.find(parent.get(), roomName, roomId, asker);
}

// Whether the item `inside` of the room is the recorded one but not of the owner the user was
// told: it then goes back out untouched, and that is said. Checked in the room, where nobody
// else can reach it, so the owner read is the owner of what would be removed.
bool otherOwner(const SafeFS::Room& room, int parent, const std::string& inside, const SafeFS::Identity& item,
                const std::string& shown, const Told& told, int& status)
{
    struct stat st {};
    SafeFS::Identity found;
    if (!told.given || SafeFS::identityAt(room.fd(), inside, found) != 0 || !(found == item)
        || ::fstatat(room.fd(), inside.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid == told.owner)
        return false;
    // Not the identity it is: sent back out as any unexpected item is.
    SafeFS::Removal back;
    (void)SafeFS::removeInRoom(room.fd(), inside, SafeFS::Identity{1, 0, 0}, {}, parent, shown, back);
    std::fprintf(stderr, "loomwork-admin: not the owner told, %u, left at %s\n", unsigned(st.st_uid),
                 hexOf(back.returnedAs.empty() ? shown : back.returnedAs).c_str());
    status = kNotTheOwner;
    return true;
}

int removeInRoom(const SafeFS::Room& room, int parent, const std::string& inside, const SafeFS::Identity& item,
                 const std::string& shown, uid_t asker, const Told& told, int& status)
{
    if (otherOwner(room, parent, inside, item, shown, told, status))
        return 0;
    SafeFS::Removal removal;
    const int error = SafeFS::removeInRoom(room.fd(), inside, item, SafeFS::ownersOf(room.fd(), inside, asker), parent, shown, removal);
    status = report(removal);
    if (error) {
        // Root could not remove it either: it goes back where it can be found.
        SafeFS::Removal back;
        (void)SafeFS::removeInRoom(room.fd(), inside, SafeFS::Identity{1, 0, 0}, {}, parent, shown, back);
    }
    return error;
}

int removeItem(const std::vector<std::string>& a, uid_t asker, const Told& told, int& status)
{
    // FOLDER NAME ROOM ROOM-ID ITEM-ID
    SafeFS::Identity roomId, item;
    if (!parseIdentity(a[3], roomId) || !parseIdentity(a[4], item) || !item.known())
        return EINVAL;
    Fd parent;
    SafeFS::Room room;
    if (const int error = openFolderAndRoom(a[5], a[0], a[2], roomId, asker, parent, room))
        return error;
    const std::string& name = a[1];
    if (const int error = DirHandle::moveAt(parent.get(), name, room.fd(), name))
        return error == ENOENT ? 0 : error; // nothing there: nothing to remove
    return removeInRoom(room, parent.get(), name, item, name, asker, told, status);
}

int removeItemInRoom(const std::vector<std::string>& a, uid_t asker, const Told& told, int& status)
{
    // FOLDER ROOM ROOM-ID INSIDE ITEM-ID SHOWN
    SafeFS::Identity roomId, item;
    if (!parseIdentity(a[2], roomId) || !parseIdentity(a[4], item) || !item.known() || !DirHandle::isPlainName(a[3])
        || !DirHandle::isPlainName(a[5]))
        return EINVAL;
    Fd parent;
    SafeFS::Room room;
    if (const int error = openFolderAndRoom(a[6], a[0], a[1], roomId, asker, parent, room))
        return error;
    return removeInRoom(room, parent.get(), a[3], item, a[5], asker, told, status);
}

// SOURCE's content copied into the empty folder `name` of the room, which then takes SOURCE's
// mode and our ownership, as a copy made here would. The application made that folder and
// recorded it before this run: once it stands at the item's name, its recovery knows the replace
// is done.
int fillFolder(const std::string& source, int room, const std::string& name)
{
    Fd into;
    if (const int error = DirHandle::openChild(room, name, into))
        return error;
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(into.get(), names))
        return error;
    if (!names.empty())
        return EEXIST;
    const Fd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!from.valid() || ::fstat(from.get(), &st) != 0)
        return errno;
    if (const int error = DirHandle::listNames(from.get(), names))
        return error;
    for (const std::string& child : names) {
        if (const int error = DirHandle::copyAt(from.get(), child, into.get(), child))
            return error;
    }
    if (::fchown(into.get(), ::geteuid(), ::getegid()) != 0 || ::fchmod(into.get(), st.st_mode & 0777) != 0)
        return errno;
    return 0;
}

// The copy is made in the room first, then exchanged with the item: a copy that fails (a full
// disk) leaves the old item as it was. Every other local user may rename or exchange the name
// meanwhile, so what comes out of each exchange is checked, and the copy is dropped only while
// it is the copy: anything else found in its place goes back out, untouched.
int replaceItem(const std::vector<std::string>& a, uid_t asker, const Told& told, int& status)
{
    // FOLDER NAME SOURCE ROOM ROOM-ID OLD-ID
    SafeFS::Identity roomId, old;
    if (!parseIdentity(a[4], roomId) || !parseIdentity(a[5], old))
        return EINVAL;
    const std::string& source = a[2];
    if (source.empty() || source.front() != '/')
        return EINVAL;
    Fd parent;
    SafeFS::Room room;
    if (const int error = openFolderAndRoom(a[6], a[0], a[3], roomId, asker, parent, room))
        return error;
    const std::string& name = a[1];
    const std::string copy = "incoming";
    const std::string aside = "replaced";
    SafeFS::Identity made;
    const auto dropCopy = [&] {
        if (!made.known())
            return;
        SafeFS::Removal removal;
        (void)SafeFS::removeInRoom(room.fd(), copy, made, DirHandle::Owners{true, {}, {}}, parent.get(), name, removal);
        if (removal.mismatch) {
            std::fprintf(stderr, "loomwork-admin: not the recorded item, left at %s\n", hexOf(removal.returnedAs).c_str());
            status = kNotTheItem;
        }
    };
    struct stat premade {};
    const bool fill = ::fstatat(room.fd(), copy.c_str(), &premade, AT_SYMLINK_NOFOLLOW) == 0;
    if (const int error = fill ? fillFolder(source, room.fd(), copy) : DirHandle::copyInto(source, room.fd(), copy)) {
        // Made by us in our room: what stands there is the partial copy.
        if (SafeFS::identityAt(room.fd(), copy, made) == 0)
            dropCopy();
        return error;
    }
    if (const int error = SafeFS::identityAt(room.fd(), copy, made))
        return error;
    // The copy is on disk before it takes the name: a power cut must not leave empty files there.
    SafeFS::SyncBatch staged;
    int synced = staged.addTree(room.fd());
    if (synced == 0)
        synced = staged.sync();
    if (synced) {
        dropCopy();
        return synced;
    }
    if (!old.known()) {
        const int error = DirHandle::moveAt(room.fd(), copy, parent.get(), name);
        if (error)
            dropCopy();
        return error;
    }
    bool exchanged = false;
    if (const int error = DirHandle::swapIn(room.fd(), copy, parent.get(), name, room.fd(), aside, exchanged)) {
        dropCopy();
        return error;
    }
    const std::string displaced = exchanged ? copy : aside;
    SafeFS::Identity found;
    struct stat owned {};
    const bool otherOwner = told.given && ::fstatat(room.fd(), displaced.c_str(), &owned, AT_SYMLINK_NOFOLLOW) == 0
        && owned.st_uid != told.owner;
    if (SafeFS::identityAt(room.fd(), displaced, found) != 0 || !(found == old) || otherOwner) {
        // Not the item that stood there when the user asked: it goes back, and the copy goes.
        if (const int error = DirHandle::swapBack(room.fd(), copy, parent.get(), name, room.fd(), aside, exchanged))
            return error;
        dropCopy();
        if (found == old && otherOwner) {
            std::fprintf(stderr, "loomwork-admin: not the owner told, %u, left at %s\n", unsigned(owned.st_uid),
                         hexOf(name).c_str());
            status = kNotTheOwner;
            return 0;
        }
        if (status != kNotTheItem)
            std::fprintf(stderr, "loomwork-admin: not the recorded item, left at %s\n", hexOf(name).c_str());
        status = kNotTheItem;
        return 0;
    }
    return removeInRoom(room, parent.get(), displaced, old, name, asker, told, status);
}

int makeFolder(const std::string& root, const std::string& path)
{
    Fd at;
    if (const int error = makeRoot(root, at))
        return error;
    const std::vector<std::string> parts = split(path);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        int error = DirHandle::makeFolderAt(at.get(), parts[i], 0755);
        if (error && error != EEXIST)
            return error;
        Fd next;
        if ((error = DirHandle::openChild(at.get(), parts[i], next)))
            return error;
        at = std::move(next);
    }
    const int error = DirHandle::makeFolderAt(at.get(), parts.back(), 0755);
    if (error && error != EEXIST)
        return error;
    // Through the handle: a link put in its place is left alone; a file there is no folder. The
    // modes are set on the folder opened, whatever is renamed onto its name afterwards.
    Fd folder;
    if (const int opened = DirHandle::openChild(at.get(), parts.back(), folder))
        return opened;
    return DirHandle::chmodTree(folder.get(), kOpen);
}

int openRootTree(const std::string& root)
{
    Fd top;
    if (const int error = DirHandle::openRoot(root, top))
        return error; // missing, or a link
    return DirHandle::chmodTree(top.get(), kOpen);
}

int prepareRoot(const std::string& root)
{
    Fd top;
    if (const int error = makeRoot(root, top))
        return error;
    for (const char* category : kCategories) {
        const int error = DirHandle::makeFolderAt(top.get(), category, 0755);
        if (error && error != EEXIST)
            return error;
        Fd folder;
        if (const int opened = DirHandle::openChild(top.get(), category, folder))
            return opened;
    }
    return openRootTree(root);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "--hex") {
        args.erase(args.begin());
        for (std::size_t i = 1; i < args.size(); ++i) {
            std::string bytes;
            if (!fromHex(args[i], bytes))
                return usage("--hex: a path argument is not hexadecimal");
            args[i] = std::move(bytes);
        }
    }
    if (args.size() < 2)
        return usage("usage: loomwork-admin [--hex] remove|replace|mkdir|prepare-root|permit ROOT [PATH] [SOURCE] [HIDDEN]");
    const std::string operation = args[0];
    const std::string root = args[1];
    if (!isPlainRoot(root))
        return usage("the library root must be an absolute path without \"\", \".\" or \"..\" parts");
    const auto needsPath = [&](std::size_t count) { return args.size() == 2 + count; };

    if (operation == "prepare-root" || operation == "permit") {
        if (!needsPath(0))
            return usage("prepare-root and permit take the library root only");
        const int error = operation == "permit" ? openRootTree(root) : prepareRoot(root);
        return error ? failure(operation + " " + root, error) : 0;
    }
    if (operation == "mkdir") {
        if (!needsPath(1))
            return usage("wrong number of arguments");
        const std::string path = args[2];
        if (!isPlainPath(path))
            return usage("the path inside the library must be relative, without \"\", \".\" or \"..\" parts");
        const int error = makeFolder(root, path);
        return error ? failure(operation + " " + root + "/" + path, error) : 0;
    }
    const std::size_t counts[] = {5, 6, 6};
    const char* const operations[] = {"remove", "remove-in-room", "replace"};
    std::size_t which = 0;
    while (which < 3 && operation != operations[which])
        ++which;
    if (which == 3)
        return usage("unknown operation");
    // OWNER after ASKER is optional: without it no owner was told.
    Told told;
    if (needsPath(counts[which] + 2)) {
        if (!parseUid(args.back(), told.owner))
            return usage("the owner told must be a number");
        told.given = true;
        args.pop_back();
    }
    if (!needsPath(counts[which] + 1))
        return usage("wrong number of arguments");
    // The operation's words, then ROOT (for the walk), as the functions read them.
    std::vector<std::string> words(args.begin() + 2, args.end() - 1);
    words.push_back(root);
    uid_t asker = 0;
    if (!parseUid(args.back(), asker))
        return usage("the asking user must be a number");
    if (!isPlainPath(words[0]))
        return usage("the folder inside the library must be relative, without \"\", \".\" or \"..\" parts");
    if (which != 1 && !DirHandle::isPlainName(words[1]))
        return usage("the item must be one name");
    int status = 0;
    const int error = which == 0 ? removeItem(words, asker, told, status)
                    : which == 1 ? removeItemInRoom(words, asker, told, status)
                                 : replaceItem(words, asker, told, status);
    if (error == EINVAL)
        return usage("the names and identities must be of the application's recorded form");
    return error ? failure(operation + " " + root + "/" + words[0], error) : status;
}
