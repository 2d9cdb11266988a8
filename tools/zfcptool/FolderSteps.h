#pragma once

#include <string>
#include <string_view>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Identity.h>

// File-system steps zfcptool needs beyond SafeFS's. Each returns 0 or an errno value where it
// says nothing else.
namespace FolderSteps {

// flock(LOCK_EX), waiting or not; whether it is held.
bool lockExclusive(int fd, bool wait);

// Opens the folder `name` in `parent` (never through a link) only when it is this user's and
// empty: what we just created there, unless someone who can write in `parent` put another
// item at the name in between (EEXIST then, and `out` stays closed).
int openOwnEmptyFolder(int parent, std::string_view name, DirHandle::Fd& out);

// SafeFS::identityAt without allocating (the name is not copied), so that it answers when
// memory has run out.
int identityOfName(int parent, const std::string& name, SafeFS::Identity& out) noexcept;

// Whether `name` is one of SafeFS::writeEntryAt's temporaries for the entry file `entry`:
// "<entry>.tmp-" and 16 lowercase hex digits.
bool isEntryTemporary(std::string_view name, std::string_view entry);

// Whether an open folder can be named by its handle (/proc/self/fd/N), so that a path through
// it never resolves the folder's name again.
bool handlePathsWork();
std::string handlePath(int fd);

} // namespace FolderSteps
