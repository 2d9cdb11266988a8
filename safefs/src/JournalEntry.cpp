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
#include "JournalText.h"

namespace SafeFS {

namespace JournalText {

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


} // namespace JournalText

using namespace JournalText;

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
    if (entry.unsynced)
        text += "unsynced\n";
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
    bool sawId = false, sawKind = false, sawState = false, sawTold = false, sawUnsynced = false;
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
        if (w[0] == "unsynced" && w.size() == 1 && !sawUnsynced)
            return entry.unsynced = sawUnsynced = true;
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

} // namespace SafeFS
