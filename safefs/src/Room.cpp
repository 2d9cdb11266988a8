#include <SafeFS/Room.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <new>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SafeFS {

namespace {

// Birth times as identityAt() gives them, for "born no earlier than": the clock the file
// system stamps with is the real-time one, at its own granularity (a coarse tick may stamp an
// instant before the call's reading; a second's slack covers every file system here).
std::uint64_t nowNanoseconds()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::uint64_t(now.tv_sec) * 1000000000u + std::uint64_t(now.tv_nsec);
}
constexpr std::uint64_t kBirthSlack = 1000000000u;

std::atomic<void (*)(int, const char*)> g_madeHook{nullptr};
std::atomic<void (*)(int, const char*)> g_removeHook{nullptr};

// 0 when the open folder is empty, ENOTEMPTY when it is not, else the errno of the look.
int emptiness(int fd)
{
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(fd, names))
        return error;
    return names.empty() ? 0 : ENOTEMPTY;
}

bool isEmptyFolder(int fd)
{
    return emptiness(fd) == 0;
}

// Whether the open folder `fd` is a room of `owner`'s: owned by him, 0700.
bool isRoomOf(int fd, uid_t owner)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == owner && (st.st_mode & 07777) == 0700;
}

std::string numbered(std::string_view name, int n)
{
    return n == 1 ? std::string(name) : std::string(name) + " " + std::to_string(n);
}

// Moves `inside` of the room back to a free name in `parent`: `name`, else "name 2", …
int goBack(int room, std::string_view inside, int parent, std::string_view name, Removal& out)
{
    int error = EEXIST;
    for (int n = 1; n <= 100 && error == EEXIST; ++n) {
        std::string at = numbered(name, n);
        // A name too long for a number stays as it was, or goes as the room's own.
        if (!DirHandle::isPlainName(at) || at.size() > 255)
            at = std::string(inside);
        error = DirHandle::moveAt(room, inside, parent, at);
        if (error == 0)
            out.returnedAs = at;
        if (error == ENOTEMPTY)
            error = EEXIST; // an empty folder there is still another's item
    }
    return error;
}

} // namespace

int Room::make(int parent, std::string_view name)
{
    // Up to knowing whether the folder is ours nothing here allocates: when memory has run out,
    // a folder made and ours goes again (rmdir removes nothing but an empty one).
    char copy[NAME_MAX + 1] = {};
    if (!DirHandle::isPlainName(name) || name.size() > NAME_MAX)
        return EINVAL;
    name.copy(copy, name.size());
    const std::uint64_t before = nowNanoseconds();
    if (::mkdirat(parent, copy, 0700) != 0)
        return errno;
    if (const auto hook = g_madeHook.load())
        hook(parent, copy);
    DirHandle::Fd fd(::openat(parent, copy, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return errno == ELOOP || errno == ENOTDIR || errno == ENOENT ? EEXIST : errno;
    Identity identity;
    if (const int error = identityAt(fd.get(), {}, identity))
        return error;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    // Another user may rename his own empty folder onto the name between mkdir and open: it is
    // not ours (owner), or older than the call, or not empty by now.
    if (st.st_uid != ::geteuid() || (identity.born != 0 && identity.born + kBirthSlack < before))
        return EEXIST;
    const auto giveUp = [&](int error) {
        (void)::unlinkat(parent, copy, AT_REMOVEDIR);
        return error;
    };
    try {
        if (const int error = emptiness(fd.get()))
            return error == ENOTEMPTY ? EEXIST : giveUp(error);
        // The umask may have taken bits we check for later.
        if (::fchmod(fd.get(), 0700) != 0)
            return giveUp(errno);
        m_name = std::string(name);
    } catch (const std::bad_alloc&) {
        return giveUp(ENOMEM);
    }
    m_fd = std::move(fd);
    m_identity = identity;
    return 0;
}

void Room::setMadeHookForTests(void (*hook)(int parent, const char* name))
{
    g_madeHook.store(hook);
}

int Room::find(int parent, std::string_view name, const Identity& identity)
{
    return find(parent, name, identity, ::geteuid());
}

int Room::find(int parent, std::string_view name, const Identity& identity, uid_t owner)
{
    const auto tryName = [&](std::string_view candidate) {
        Identity found;
        DirHandle::Fd fd;
        if (identityAt(parent, candidate, found) != 0 || !(found == identity)
            || DirHandle::openChild(parent, candidate, fd) != 0 || identityAt(fd.get(), {}, found) != 0
            || !(found == identity) || !isRoomOf(fd.get(), owner))
            return false;
        m_fd = std::move(fd);
        m_identity = found;
        m_name = std::string(candidate);
        return true;
    };
    if (DirHandle::isPlainName(name) && tryName(name))
        return 0;
    std::vector<std::string> names;
    if (const int error = DirHandle::listNames(parent, names))
        return error;
    for (const std::string& candidate : names) {
        if (tryName(candidate))
            return 0;
    }
    return ENOENT;
}

int Room::removeIfEmpty(int parent) const
{
    if (!m_fd.valid())
        return 0;
    // Renamed by another user, maybe over and over: it goes from wherever it is in `parent`,
    // and only its own handle tells that it went (a removed folder has no links left).
    struct stat own {};
    const auto gone = [&] { return ::fstat(m_fd.get(), &own) == 0 && own.st_nlink == 0; };
    if (gone())
        return 0; // removed already (by recovery of its entry)
    if (!isEmptyFolder(m_fd.get()))
        return ENOTEMPTY;
    const auto holdsRoom = [&](const std::string& candidate) {
        struct stat st {};
        return ::fstatat(parent, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == own.st_dev
            && st.st_ino == own.st_ino;
    };
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string name = m_name;
        if (!holdsRoom(name)) {
            std::vector<std::string> names;
            if (const int error = DirHandle::listNames(parent, names))
                return error;
            const auto found = std::find_if(names.begin(), names.end(), holdsRoom);
            if (found == names.end()) {
                if (gone())
                    return 0;
                continue; // between two names of a rename: looked for again
            }
            name = *found;
        }
        if (const auto hook = g_removeHook.load())
            hook(parent, name.c_str());
        const bool removed = ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
        if (!removed && errno != ENOENT && errno != ENOTEMPTY && errno != EEXIST)
            return errno;
        if (gone())
            return 0;
        // The room stands, so what went was an empty folder put at its name in the instant
        // since the look: no further try, lest another go the same way.
        if (removed)
            return EEXIST;
    }
    return EBUSY; // still there: the caller keeps it recorded
}

void Room::setRemoveHookForTests(void (*hook)(int parent, const char* name))
{
    g_removeHook.store(hook);
}

DirHandle::Owners ownersOf(int folder, std::string_view name, uid_t asker)
{
    DirHandle::Owners owners{false, {asker, 0}, {}};
    struct stat st {};
    if (::fstatat(folder, std::string(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        owners.uids.push_back(st.st_uid);
    return owners;
}

int removeInRoom(int room, std::string_view inside, const Identity& expected, const DirHandle::Owners& owners,
                 int parent, std::string_view name, Removal& out)
{
    out = Removal{};
    Identity found;
    if (const int error = identityAt(room, inside, found))
        return error == ENOENT ? 0 : error;
    if (!(found == expected)) {
        out.mismatch = true;
        return goBack(room, inside, parent, name, out);
    }
    struct stat st {};
    if (::fstatat(room, std::string(inside).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode)) {
        if (!owners.allows(st.st_uid)) {
            out.left.push_back({});
            return goBack(room, inside, parent, name, out);
        }
        return ::unlinkat(room, std::string(inside).c_str(), 0) == 0 ? 0 : errno;
    }
    // Nobody else can reach the item in here: what was checked is what is emptied. (A folder
    // of ours without rights for us gets them first.)
    int error = 0;
    if ((st.st_mode & S_IRWXU) != S_IRWXU && (st.st_uid == ::geteuid() || ::geteuid() == 0))
        error = ::fchmodat(room, std::string(inside).c_str(), (st.st_mode & 07777) | S_IRWXU, 0) == 0 ? 0 : errno;
    DirHandle::Fd item;
    if (!error)
        error = DirHandle::openChild(room, inside, item);
    if (!error)
        error = DirHandle::emptyFolder(item.get(), owners, out.left);
    if (error)
        return error;
    if (out.left.empty())
        return ::unlinkat(room, std::string(inside).c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
    // Another user's items go back where he can find them, with the folders that hold them.
    return goBack(room, inside, parent, name, out);
}

int removeThroughRoom(int parent, std::string_view name, int room, std::string_view inside,
                      const Identity& expected, const DirHandle::Owners& owners, Removal& out)
{
    out = Removal{};
    if (const int error = DirHandle::moveAt(parent, name, room, inside))
        return error;
    return removeInRoom(room, inside, expected, owners, parent, name, out);
}

} // namespace SafeFS
