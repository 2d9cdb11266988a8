#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <LoomworkLimits/TreeDepth.h>
#include <SafeFS/Identity.h>

// File operations through open folder handles, for trees that another local user may change
// while we work (the system library is writable by everyone). Each step is taken relative to
// a handle opened without following links, so a folder swapped for a link between a check and
// an act is met by the act itself, which refuses with ELOOP (or ENOTDIR). Nothing here knows
// Qt: the privileged helper uses the same code as the application.
// Names are single path components (no "/", not empty, not "." or ".."); EINVAL otherwise.
// Every function returns 0 or an errno value, which callers must look at.
namespace DirHandle {

// The deepest tree the walks here accept: below the folder walked, items have at most this
// many path components (the packer's and the extractors' limit too). A deeper chain is one
// planted to exhaust handles or the stack, and gives ENAMETOOLONG.
constexpr std::size_t kMaxTreeDepth = LoomworkLimits::kMaxTreeDepth;

// An owned file descriptor, closed with the object.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();

private:
    int m_fd = -1;
};

bool isPlainName(std::string_view name);

// Appends the entry names of the open folder `fd` ("." and ".." left out) to `names`, read
// from its start through `fd` itself, which stays usable for everything but a reading of its
// own. A read error is returned, never taken for the end of the folder.
[[nodiscard]] int listNames(int fd, std::vector<std::string>& names);

// Opens the folder `root` (an absolute path). Links above it are followed; the root itself
// must not be a link.
[[nodiscard]] int openRoot(const std::string& root, Fd& out);
// Opens the folder `name` in `parent` without following a link.
[[nodiscard]] int openChild(int parent, std::string_view name, Fd& out);
// Walks `relative` ("a/b", empty for `root` itself) down from the folder `root`, one handle
// at a time, refusing any link on the way.
[[nodiscard]] int openBelow(int root, std::string_view relative, Fd& out);
// openBelow from the path `root`.
[[nodiscard]] int openPath(const std::string& root, std::string_view relative, Fd& out);

// Creates the folder `name` in `parent` with `mode` (umask applies); EEXIST when anything is
// there.
[[nodiscard]] int makeFolderAt(int parent, std::string_view name, mode_t mode);
// Removes `name` from `parent`: a file or link is unlinked (a link is never followed), a
// folder is emptied through handles (emptyFolder, of anyone's items) and removed; folders are
// given our rights first, on the handle that was looked at.
// Nothing there is no error. Only for folders nobody else may write: in a shared one a name
// may be given to anything by then, and removals go through a private room (SafeFS/Room.h).
[[nodiscard]] int removeAt(int parent, std::string_view name);

// Whose items an emptying removes. Anything of another user's found inside is left where it
// is, with the folders above it, and named.
struct Owners {
    bool anyone = false;
    std::vector<uid_t> uids;
    // Items never removed, whoever owns them: other plug-ins the user sees in the library
    // (another user may move one inside the one being removed). Each is left where it is, with
    // the folders above it, and named as another user's item is.
    std::vector<SafeFS::Identity> spared;
    bool allows(uid_t uid) const;
};
// Empties the open folder `folder` of what `owners` allows and `spared` does not name, depth
// first with a few handles open whatever the depth, never following a link. Each folder is
// judged (owner, identity, mode) by the handle then used to enter it. Files and empty folders
// can only be removed by name, so each folder of ours (any, for root), `folder` included, is
// first closed to everyone else's writes through that handle, with all our rights: from then on
// nobody but its owner and root can rename or exchange a name in it, and what was looked at is
// what goes. A folder kept because something is left in it gets its mode back (a walk that
// stops on an error leaves the folders it is in closed, for whoever finishes it). In a folder we
// may empty but not close (root's or the plug-in owner's, for an ordinary user) that cannot be
// promised: another user who may write there can swap a name between the look and the unlink.
// The paths (inside `folder`) of items left are added to `left`. ENAMETOOLONG for a tree
// deeper than kMaxTreeDepth, which is not followed beyond it.
[[nodiscard]] int emptyFolder(int folder, const Owners& owners, std::vector<std::string>& left);
// Sets `mode` on `name` in `parent` and, when it is a folder, on everything below it; links
// are left alone and never followed, and so are files with other names (hard links). Each item
// is opened first and the mode set on what was opened. The walk goes on past a failure and
// returns the first (ENAMETOOLONG for items deeper than kMaxTreeDepth, which keep their mode).
[[nodiscard]] int chmodTreeAt(int parent, std::string_view name, mode_t mode);
// The same for the open folder `folder` itself and what is below it.
[[nodiscard]] int chmodTree(int folder, mode_t mode);

enum class Rename {
    replace,   // rename(2)
    noReplace, // EEXIST when the target exists
    exchange   // swaps both; EINVAL, ENOSYS or ENOTSUP where the file system cannot
};
[[nodiscard]] int renameAt(int fromParent, std::string_view from, int toParent, std::string_view to, Rename how);
// Whether a rename's flag (noReplace, exchange) was refused by the file system: NFS and some
// FUSE file systems give EINVAL, ENOSYS or ENOTSUP.
bool refusesFlags(int error);
// How the moves below take each step: renameAt() itself, unless a caller wraps it (to name the
// step to a test's seam).
using Mover = std::function<int(int fromParent, std::string_view from, int toParent, std::string_view to, Rename how)>;

// renameAt(noReplace) that, where the file system refuses the flag, looks and renames plainly.
[[nodiscard]] int moveAt(int fromParent, std::string_view from, int toParent, std::string_view to,
                         const Mover& mover = {});

// Puts the item `from` (in `fromParent`) at `to` (in `toParent`) in place of the item there:
// by one exchange, which leaves the displaced item at `from`; where the file system cannot
// exchange, by two renames, the displaced item first to `aside` (in `asideParent`), put back
// should the second fail. `exchanged` tells which. Nothing at `to` is ENOENT.
[[nodiscard]] int swapIn(int fromParent, std::string_view from, int toParent, std::string_view to, int asideParent,
                         std::string_view aside, bool& exchanged, const Mover& mover = {});
// Undoes swapIn(): the displaced item back at `to`, the item put there back at `from`.
[[nodiscard]] int swapBack(int fromParent, std::string_view from, int toParent, std::string_view to, int asideParent,
                           std::string_view aside, bool exchanged, const Mover& mover = {});

// The path that names the open folder `fd` through its handle ("/proc/self/fd/N"), so that
// what is written below it never resolves the folder's name again; empty where the system has
// no such paths.
std::string handlePath(int fd);

// For tests: every rename's flag is refused, as a file system without renameat2 refuses it.
void refuseRenameFlagsForTests(bool refused);
// For tests: called in the walks between looking at an item in `folder` and acting on it (an
// emptied folder too, before it is removed), where a test may change what stands at the name;
// nullptr for none.
using StepHook = void (*)(int folder, const char* name);
void setStepHookForTests(StepHook hook);

// Copies the item `sourceName` in `sourceParent` to `name` in `parent`, which must not exist:
// folders, files with their permission bits (never set-user-ID or set-group-ID) and times,
// links as links; a FIFO, socket or device becomes an empty file. The source is read through
// handles too, so a folder in it swapped for a link is refused, never followed. A few handles
// are open whatever the depth; a tree deeper than kMaxTreeDepth is refused (ENAMETOOLONG), with
// what was copied before left for the caller to remove.
[[nodiscard]] int copyAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name);
// copyAt for the open folder `folder` itself: what that handle holds is copied, whatever
// stands at its name by now.
[[nodiscard]] int copyFolder(int folder, int parent, std::string_view name);
// copyAt for the item at the path `source` (links above its last component followed).
[[nodiscard]] int copyInto(const std::string& source, int parent, std::string_view name);
// Copies the open file `in` from its position to its end (for a regular file, the end it has
// now) onto `out` at its position, as copyAt copies a file's bytes: in the kernel on Linux
// (copy_file_range, at most `step` bytes a call), else, or where the file systems refuse
// that, through a buffer of at most `step` bytes. EINVAL for a `step` of 0.
[[nodiscard]] int copyContent(int in, int out, std::size_t step);

// Opens the regular file `name` in `parent` for reading, refusing a link (ELOOP) and
// anything that is not a regular file (EINVAL) without blocking on a FIFO.
[[nodiscard]] int openFileAt(int parent, std::string_view name, Fd& out);
// Creates `name` in `parent` exclusively (O_EXCL, never through a link) for writing.
[[nodiscard]] int createFileAt(int parent, std::string_view name, mode_t mode, Fd& out);

} // namespace DirHandle
