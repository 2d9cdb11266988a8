#pragma once

#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>

#include <SafeFS/DirHandle.h>

// The steps the walks share to act on an item through the handle that was looked at, rather
// than on whatever its name holds by then.
namespace DirHandle {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string nameOf(std::string_view name);
// Linux refuses a link opened as a folder with ENOTDIR; callers tell the user about a link.
int refusalOf(int error, int parent, const std::string& name);
// Opens the item `name` in `parent` as it stands, never through a link, with its status: on
// Linux a handle that only names it (O_PATH: any type, no rights needed, no FIFO opened), so
// that what is decided from that status is what is then changed or entered, whatever another
// user renames onto the name meanwhile.
int openItem(int parent, const std::string& name, Fd& item, struct stat& st);
// Opens the folder held by `item` (`name` in `parent`) for reading.
int openFolderOf(const Fd& item, int parent, const std::string& name, Fd& out);
// Sets `mode` on the item held by `item`, whose status is `st` (`name` in `parent`): on the
// inode that was opened, not on whatever the name holds by now.
int chmodHeld(const Fd& item, const struct stat& st, int parent, const std::string& name, mode_t mode);
// The test seam between looking at an item in `folder` and acting on it.
void stepHook(int folder, const std::string& name);

} // namespace DirHandle
