#include <SafeFS/Journal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <cstdlib>

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

bool refusesExchange(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// One place of an entry, opened once: its folder, and each parent folder of an item inside.
class OpenedPlace
{
public:
    explicit OpenedPlace(const JournalPlace& place)
    {
        if (place.followLinks) {
            const std::string path = place.folder.empty() ? place.root : place.root + "/" + place.folder;
            m_folder = DirHandle::Fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            m_error = m_folder.valid() ? 0 : errno;
        } else {
            m_error = DirHandle::openPath(place.root, place.folder, m_folder);
        }
    }

    int error() const { return m_error; }

    // The folder holding `path` (inside the place), or -1 with the errno in `error`.
    int parentOf(const std::string& path, int& error)
    {
        const std::string parent = SafeFS::parentOf(path);
        if (parent.empty())
            return m_folder.get();
        if (m_parent.valid() && m_parentPath == parent)
            return m_parent.get();
        // Links lead only to the place itself: below it an item's path never leaves it.
        DirHandle::Fd fd;
        error = DirHandle::openBelow(m_folder.get(), parent, fd);
        if (error)
            return -1;
        m_parent = std::move(fd);
        m_parentPath = parent;
        return m_parent.get();
    }

private:
    DirHandle::Fd m_folder;
    DirHandle::Fd m_parent;
    std::string m_parentPath;
    int m_error = 0;
};

struct Recovery {
    const JournalEntry& entry;
    std::vector<std::unique_ptr<OpenedPlace>> places;
    int firstError = 0;

    explicit Recovery(const JournalEntry& e) : entry(e)
    {
        for (const JournalPlace& place : e.places)
            places.push_back(std::make_unique<OpenedPlace>(place));
    }

    void note(int error)
    {
        if (error && !firstError)
            firstError = error;
    }

    // The folder holding `path` of `item`'s place; -1 when it cannot be reached (a place gone
    // missing is nothing left to put right there).
    int folderOf(const JournalItem& item, const std::string& path)
    {
        OpenedPlace& place = *places[item.place];
        if (place.error()) {
            if (place.error() != ENOENT)
                note(place.error());
            return -1;
        }
        int error = 0;
        const int fd = place.parentOf(path, error);
        if (fd < 0 && error != ENOENT)
            note(error);
        return fd;
    }

    // Whether `name` in `parent` is the item: its recorded identity, or, where none was
    // recorded, an empty file or folder of this user whose name carries the entry's id. A kill
    // leaves such an item only right after making it, empty; anything of ours with content
    // there was renamed to its name (a shared library lets anyone rename), and is not ours to
    // remove.
    bool isItem(int parent, const std::string& name, const JournalItem& item) const
    {
        struct stat st;
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (item.identity.known()) {
            Identity found;
            return identityAt(parent, name, found) == 0 && found == item.identity;
        }
        if (item.role != JournalItem::Role::made || st.st_uid != ::geteuid() || name.find(entry.id) == std::string::npos)
            return false;
        if (S_ISREG(st.st_mode))
            return st.st_size == 0;
        DirHandle::Fd folder;
        std::vector<std::string> names;
        return S_ISDIR(st.st_mode) && DirHandle::openChild(parent, name, folder) == 0
            && DirHandle::listNames(folder.get(), names) == 0 && names.empty();
    }

    // Removes the item found by isItem(): one without identity only as what it was seen to
    // be, an empty folder (rmdir removes nothing else) or a file.
    int removeItem(int parent, const std::string& name, const JournalItem& item) const
    {
        if (item.identity.known())
            return DirHandle::removeIdentified(parent, name, item.identity);
        struct stat st;
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return 0;
        if (::unlinkat(parent, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT
            || errno == ENOTEMPTY || errno == EEXIST)
            return 0;
        return errno;
    }

    // The entry's item of `role` (with a recorded identity) that `name` in `parent` is; null
    // when none.
    const JournalItem* itemAt(int parent, const std::string& name, std::size_t place, JournalItem::Role role) const
    {
        const auto found = std::find_if(entry.items.begin(), entry.items.end(), [&](const JournalItem& item) {
            return item.role == role && item.place == place && item.identity.known() && isItem(parent, name, item);
        });
        return found == entry.items.end() ? nullptr : &*found;
    }

    static bool exists(int parent, const std::string& name)
    {
        struct stat st;
        return ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // An old item goes back to its target; a made item standing there leaves for its own
    // hidden place, to be removed with the other made items.
    void putBack(const JournalItem& old)
    {
        const int at = folderOf(old, old.path);
        if (at < 0)
            return;
        const std::string name = nameOf(old.path);
        if (!isItem(at, name, old))
            return; // already back, or gone: nothing of ours to move
        const int to = folderOf(old, old.target);
        if (to < 0)
            return;
        const std::string target = nameOf(old.target);
        if (!exists(to, target)) {
            note(DirHandle::renameAt(at, name, to, target, DirHandle::Rename::noReplace));
            return;
        }
        const JournalItem* made = itemAt(to, target, old.place, JournalItem::Role::made);
        if (!made) {
            note(EEXIST); // something not ours stands there: the old item stays hidden, named here
            return;
        }
        int error = DirHandle::renameAt(at, name, to, target, DirHandle::Rename::exchange);
        if (error == 0) {
            // The made item now sits at the old one's hidden name: it goes.
            note(removeItem(at, name, *made));
            return;
        }
        if (!refusesExchange(error)) {
            note(error);
            return;
        }
        // Two renames where the file system cannot exchange: the made item to a free hidden
        // name first, so the target is never taken from anything but our own item.
        const std::string aside = "." + entry.id + ".undone";
        if ((error = DirHandle::renameAt(to, target, to, aside, DirHandle::Rename::noReplace)) != 0) {
            note(error);
            return;
        }
        if ((error = DirHandle::renameAt(at, name, to, target, DirHandle::Rename::noReplace)) != 0) {
            DirHandle::renameAt(to, aside, to, target, DirHandle::Rename::noReplace);
            note(error);
            return;
        }
        note(removeItem(to, aside, *made));
    }

    // A made item in its hidden place goes; under undo, so does one standing at its target.
    void removeMade(const JournalItem& made, bool atTargetToo)
    {
        if (const int at = folderOf(made, made.path); at >= 0 && isItem(at, nameOf(made.path), made))
            note(removeItem(at, nameOf(made.path), made));
        if (!atTargetToo || made.target.empty() || !made.identity.known())
            return;
        if (const int at = folderOf(made, made.target); at >= 0 && isItem(at, nameOf(made.target), made))
            note(removeItem(at, nameOf(made.target), made));
    }

    // A made item with a target takes its place: a file by one rename, a folder by an exchange
    // whose displaced item goes. Only nothing or this entry's old item is displaced: anything
    // else put there since is not the change's to replace.
    void putInPlace(const JournalItem& made)
    {
        const int at = folderOf(made, made.path);
        if (at < 0)
            return;
        const std::string name = nameOf(made.path);
        if (!isItem(at, name, made))
            return; // already in place, or gone
        const int to = folderOf(made, made.target);
        if (to < 0)
            return;
        const std::string target = nameOf(made.target);
        struct stat st;
        if (::fstatat(to, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            note(DirHandle::renameAt(at, name, to, target, DirHandle::Rename::noReplace));
            return;
        }
        if (!itemAt(to, target, made.place, JournalItem::Role::old)) {
            note(EEXIST);
            return;
        }
        if (!S_ISDIR(st.st_mode)) {
            note(DirHandle::renameAt(at, name, to, target, DirHandle::Rename::replace));
            return;
        }
        const int error = DirHandle::renameAt(at, name, to, target, DirHandle::Rename::exchange);
        if (error) {
            note(error);
            return;
        }
        if (const JournalItem* old = itemAt(at, name, made.place, JournalItem::Role::old))
            note(removeItem(at, name, *old));
    }

    // Whether an old item that could not go back still lies inside the made folder `made`
    // (an exchange leaves the old copy where the new one was staged): the folder then stays.
    bool holdsOldItem(const JournalItem& made)
    {
        return std::any_of(entry.items.begin(), entry.items.end(), [&](const JournalItem& old) {
            if (old.role != JournalItem::Role::old || old.place != made.place || !old.path.starts_with(made.path + "/"))
                return false;
            const int at = folderOf(old, old.path);
            return at >= 0 && isItem(at, nameOf(old.path), old);
        });
    }

    int run()
    {
        using Role = JournalItem::Role;
        if (entry.state == JournalEntry::State::undo) {
            for (const JournalItem& item : entry.items)
                if (item.role == Role::old)
                    putBack(item);
            for (const JournalItem& item : entry.items)
                if (item.role == Role::made && !holdsOldItem(item))
                    removeMade(item, true);
        } else {
            for (const JournalItem& item : entry.items)
                if (item.role == Role::made && !item.target.empty())
                    putInPlace(item);
            for (const JournalItem& item : entry.items) {
                if (item.role == Role::made && item.target.empty())
                    removeMade(item, false);
                else if (item.role == Role::old)
                    if (const int at = folderOf(item, item.path); at >= 0 && isItem(at, nameOf(item.path), item))
                        note(removeItem(at, nameOf(item.path), item));
            }
        }
        return firstError;
    }
};

} // namespace

int identityAt(int parent, std::string_view name, Identity& out)
{
    const std::string copy(name);
#if defined(__linux__)
    struct statx st;
    const int flags = AT_SYMLINK_NOFOLLOW | (copy.empty() ? AT_EMPTY_PATH : 0);
    if (::statx(parent, copy.c_str(), flags, STATX_INO | STATX_BTIME, &st) != 0)
        return errno;
    out = Identity{std::uint64_t(makedev(st.stx_dev_major, st.stx_dev_minor)), std::uint64_t(st.stx_ino),
                   (st.stx_mask & STATX_BTIME) ? std::uint64_t(st.stx_btime.tv_sec) * 1000000000u + st.stx_btime.tv_nsec : 0};
#else
    struct stat st;
    if ((copy.empty() ? ::fstat(parent, &st) : ::fstatat(parent, copy.c_str(), &st, AT_SYMLINK_NOFOLLOW)) != 0)
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
        text += std::string("item ") + (item.role == JournalItem::Role::old ? "old" : "made") + " "
              + std::to_string(item.place) + " " + hex(item.path) + " " + hex(item.target) + " "
              + std::to_string(item.identity.device) + " " + std::to_string(item.identity.inode) + " "
              + std::to_string(item.identity.born) + "\n";
    }
    text += std::string(kEnd) + "\n";
    return text;
}

JournalEntry parseEntry(std::string_view text, std::string_view id)
{
    JournalEntry entry;
    entry.id = std::string(id);
    entry.damaged = true;
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos)
            return entry; // every line ends, the last one included
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    if (!isId(id) || lines.size() < 5 || lines.front() != kHeader || lines.back() != kEnd)
        return entry;
    bool sawId = false, sawKind = false, sawState = false;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::vector<std::string_view> w = words(lines[i]);
        if (w[0] == "id" && w.size() == 2 && w[1] == id && !sawId) {
            sawId = true;
        } else if (w[0] == "kind" && w.size() == 2 && !sawKind) {
            const auto kind = unhex(w[1]);
            if (!kind)
                return entry;
            entry.kind = *kind;
            sawKind = true;
        } else if (w[0] == "state" && w.size() == 2 && !sawState && (w[1] == "undo" || w[1] == "finish")) {
            entry.state = w[1] == "finish" ? JournalEntry::State::finish : JournalEntry::State::undo;
            sawState = true;
        } else if (w[0] == "place" && w.size() == 4 && (w[3] == "0" || w[3] == "1")) {
            const auto root = unhex(w[1]);
            const auto folder = unhex(w[2]);
            if (!root || !folder || root->empty() || root->front() != '/' || root->find('\0') != std::string::npos
                || (!folder->empty() && !isInsidePath(*folder)))
                return entry;
            entry.places.push_back(JournalPlace{*root, *folder, w[3] == "1"});
        } else if (w[0] == "item" && (w.size() == 7 || w.size() == 8) && (w[1] == "made" || w[1] == "old")) {
            const auto place = number(w[2]);
            const auto path = unhex(w[3]);
            const auto target = unhex(w[4]);
            const auto device = number(w[5]);
            const auto inode = number(w[6]);
            const auto born = w.size() == 8 ? number(w[7]) : std::optional<std::uint64_t>(0);
            if (!place || !path || !target || !device || !inode || !born || *place >= entry.places.size()
                || !isInsidePath(*path) || (!target->empty() && !isInsidePath(*target)))
                return entry;
            JournalItem item;
            item.role = w[1] == "old" ? JournalItem::Role::old : JournalItem::Role::made;
            item.place = std::size_t(*place);
            item.path = *path;
            item.target = *target;
            item.identity = Identity{*device, *inode, *born};
            // An old item is known only by its identity, and always goes back somewhere.
            if (item.role == JournalItem::Role::old && (!item.identity.known() || item.target.empty()))
                return entry;
            entry.items.push_back(std::move(item));
        } else {
            return entry;
        }
    }
    entry.damaged = !(sawId && sawKind && sawState);
    return entry;
}

int writeEntryAt(int folder, std::string_view name, const JournalEntry& entry)
{
    const std::string text = formatEntry(entry);
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

int Journal::open(const std::string& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
        ::close(fd);
        return EPERM;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
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

int recoverEntry(const JournalEntry& entry)
{
    if (entry.damaged)
        return EINVAL;
    return Recovery(entry).run();
}

void recoverJournal(const Journal& journal, const std::function<bool(const JournalEntry&)>& running)
{
    for (const JournalEntry& entry : journal.entries()) {
        if (entry.damaged || (running && running(entry)))
            continue;
        if (recoverEntry(entry) == 0)
            journal.remove(entry.id);
    }
}

} // namespace SafeFS
