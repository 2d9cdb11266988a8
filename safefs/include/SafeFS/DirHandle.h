#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <SafeFS/Identity.h>

// File operations through open folder handles, for trees that another local user may change
// while we work (the system library is writable by everyone). Each step is taken relative to
// a handle opened without following links, so a folder swapped for a link between a check and
// an act is met by the act itself, which refuses with ELOOP (or ENOTDIR). Nothing here knows
// Qt: the privileged helper uses the same code as the application.
// Names are single path components (no "/", not empty, not "." or ".."); EINVAL otherwise.
// Every function returns 0 or an errno value.
namespace DirHandle {

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
// through a duplicate so that `fd` stays usable. A read error is returned, never taken for the
// end of the folder.
int listNames(int fd, std::vector<std::string>& names);

// Opens the folder `root` (an absolute path). Links above it are followed; the root itself
// must not be a link.
int openRoot(const std::string& root, Fd& out);
// Opens the folder `name` in `parent` without following a link.
int openChild(int parent, std::string_view name, Fd& out);
// Walks `relative` ("a/b", empty for `root` itself) down from the folder `root`, one handle
// at a time, refusing any link on the way.
int openBelow(int root, std::string_view relative, Fd& out);
// openBelow from the path `root`.
int openPath(const std::string& root, std::string_view relative, Fd& out);

// Creates the folder `name` in `parent` with `mode` (umask applies); EEXIST when anything is
// there.
int makeFolderAt(int parent, std::string_view name, mode_t mode);
// Removes `name` from `parent`: a file or link is unlinked (a link is never followed), a
// folder is emptied through handles and removed; folders without write or search rights
// for us get them first. Nothing there is no error.
int removeAt(int parent, std::string_view name);
// removeAt() of `name` in `parent` only while it is the item `identity` names. A folder is
// checked on its own handle and emptied through it, then removed by name only if it is still
// an empty folder: another user who renames something of theirs onto the name in between (a
// folder every local user may write) loses nothing. What is there but is not the item, or
// nothing at all, is 0: nothing of ours to remove.
int removeIdentified(int parent, std::string_view name, const SafeFS::Identity& identity);
// Sets `mode` on `name` in `parent` and, when it is a folder, on everything below it; links
// are left alone and never followed, and so are files with other names (hard links).
int chmodTreeAt(int parent, std::string_view name, mode_t mode);

enum class Rename {
    replace,   // rename(2)
    noReplace, // EEXIST when the target exists
    exchange   // swaps both; EINVAL, ENOSYS or ENOTSUP where the file system cannot
};
int renameAt(int fromParent, std::string_view from, int toParent, std::string_view to, Rename how);

// Copies the item `sourceName` in `sourceParent` to `name` in `parent`, which must not exist:
// folders, files with their permission bits (never set-user-ID or set-group-ID) and times,
// links as links; a FIFO, socket or device becomes an empty file. The source is read through
// handles too, so a folder in it swapped for a link is refused, never followed.
int copyAt(int sourceParent, std::string_view sourceName, int parent, std::string_view name);
// copyAt for the item at the path `source` (links above its last component followed).
int copyInto(const std::string& source, int parent, std::string_view name);
// Copies the open file `in` from its position to its end (for a regular file, the end it has
// now) onto `out` at its position, as copyAt copies a file's bytes: in the kernel on Linux
// (copy_file_range, at most `step` bytes a call), else, or where the file systems refuse
// that, through a buffer of at most `step` bytes. EINVAL for a `step` of 0.
int copyContent(int in, int out, std::size_t step);

// Opens the regular file `name` in `parent` for reading, refusing a link (ELOOP) and
// anything that is not a regular file (EINVAL) without blocking on a FIFO.
int openFileAt(int parent, std::string_view name, Fd& out);
// Creates `name` in `parent` exclusively (O_EXCL, never through a link) for writing.
int createFileAt(int parent, std::string_view name, mode_t mode, Fd& out);

} // namespace DirHandle
