#include <SafeFS/DirHandle.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FolderWalk.h"
#include "HeldItem.h"

namespace DirHandle {

bool Owners::allows(uid_t uid) const
{
    return anyone || std::find(uids.begin(), uids.end(), uid) != uids.end();
}

namespace {

// The mode a folder of ours (any folder, for root) is emptied under: all our rights, and no
// one else's writes, so that no name in it changes under the walk (files go by name).
mode_t emptyingMode(const struct stat& st)
{
    return ((st.st_mode & 07777) | S_IRWXU) & ~mode_t(S_IWGRP | S_IWOTH);
}

// Sets emptyingMode() on the folder held by `item`, the handle that was looked at (`name` in
// `parent`; -1 when the handle alone is known). `restore` gets the mode it had, or -1 when it
// is unchanged.
int closeToOthers(const Fd& item, const struct stat& st, int parent, const std::string& name, int& restore)
{
    restore = -1;
    if ((st.st_uid != ::geteuid() && ::geteuid() != 0) || emptyingMode(st) == (st.st_mode & 07777))
        return 0;
    if (const int error = chmodHeld(item, st, parent, name, emptyingMode(st)))
        return error;
    restore = int(st.st_mode & 07777);
    return 0;
}

// Whether the item `name` in `parent` (status `st`, held by `item` when given) is one that an
// emptying spares.
bool isSpared(const Owners& owners, const Fd* item, int parent, const std::string& name, const struct stat& st)
{
    for (const SafeFS::Identity& spared : owners.spared) {
        if (spared.inode != std::uint64_t(st.st_ino) || spared.device != std::uint64_t(st.st_dev))
            continue;
        SafeFS::Identity found;
        const int error = item && item->valid() ? SafeFS::identityAt(item->get(), {}, found)
                                                : SafeFS::identityAt(parent, name, found);
        // The birth time tells a later item given the inode apart; unread, the inode spares it.
        if (error != 0 || found == spared)
            return true;
    }
    return false;
}

// Removes the emptied folder `name` of `parent` while the name still holds it: a folder renamed
// onto the name meanwhile is not the one emptied (EEXIST).
int removeEmptied(int parent, const std::string& name, const SafeFS::Identity& emptied)
{
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (std::uint64_t(st.st_dev) != emptied.device || std::uint64_t(st.st_ino) != emptied.inode)
        return EEXIST;
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

// Sets `mode` on everything below the open folder `top`, which it takes over (see chmodTreeAt).
int chmodBelow(Fd top, mode_t mode)
{
    int first = 0;
    const auto note = [&first](int error) {
        if (error && error != ENOENT && !first)
            first = error;
    };
    FolderWalk walk;
    if (const int error = walk.start(std::move(top)))
        return error;
    for (;;) {
        int error = 0;
        const int at = walk.fd(error);
        const std::string* next = at < 0 ? nullptr : walk.next();
        if (!next) {
            note(error);
            if (walk.depth() == 0)
                return first;
            walk.leave();
            continue;
        }
        const std::string name = *next;
        Fd item;
        struct stat st {};
        if ((error = openItem(at, name, item, st)) != 0) {
            note(error);
            continue;
        }
        // A hard link may lead anywhere.
        if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && st.st_nlink > 1))
            continue;
        note(error = chmodHeld(item, st, at, name, mode));
        if (error || !S_ISDIR(st.st_mode))
            continue;
        Fd folder;
        if ((error = openFolderOf(item, at, name, folder)) == 0)
            error = walk.enter(name, std::move(folder));
        note(error);
    }
}

} // namespace

int emptyFolder(int folder, const Owners& owners, std::vector<std::string>& left)
{
    Fd top(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return errno;
    // Each folder's mode before it was closed (-1: unchanged), given back to one that is kept.
    std::vector<int> modes(1, -1);
    struct stat st {};
    if (::fstat(top.get(), &st) != 0)
        return errno;
    if (const int error = closeToOthers(top, st, -1, {}, modes.front()))
        return error;
    FolderWalk walk;
    if (const int error = walk.start(std::move(top)))
        return error;
    // Something left inside keeps every folder above it.
    const auto leaveItem = [&](const std::string& path) {
        left.push_back(path);
        walk.mark() = true;
    };
    for (;;) {
        int error = 0;
        const int at = walk.fd(error);
        if (at < 0)
            return error;
        const std::string* next = walk.next();
        if (!next) {
            const bool keeps = walk.mark();
            if (keeps && modes.back() >= 0 && ::fchmod(at, mode_t(modes.back())) != 0)
                return errno;
            if (walk.depth() == 0)
                return 0;
            modes.pop_back();
            const std::string name = walk.name();
            const std::string path = walk.path();
            SafeFS::Identity emptied;
            walk.leave(&emptied);
            if (keeps) {
                walk.mark() = true;
                continue;
            }
            const int parent = walk.fd(error);
            if (parent < 0)
                return error;
            // Something put in since it was listed (by its owner or root), or another folder at
            // its name: left, and so is what holds it.
            stepHook(parent, name);
            error = removeEmptied(parent, name, emptied);
            if (error == ENOTEMPTY || error == EEXIST)
                leaveItem(path);
            else if (error && error != ENOENT)
                return error;
            continue;
        }
        const std::string name = *next;
        if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return errno;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (!owners.allows(st.st_uid) || isSpared(owners, nullptr, at, name, st)) {
                leaveItem(walk.pathOf(name));
                continue;
            }
            stepHook(at, name);
            if (::unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT) {
                if (errno != EISDIR)
                    return errno;
                walk.again(); // a folder since the look
            }
            continue;
        }
        stepHook(at, name);
        // The folder is judged by the handle that then enters it: its owner, identity and mode
        // as opened, whatever another user has renamed onto the name since the look.
        Fd item;
        if ((error = openItem(at, name, item, st)) != 0) {
            if (error == ENOENT)
                continue;
            return error;
        }
        if (!S_ISDIR(st.st_mode)) {
            walk.again(); // something else since the look
            continue;
        }
        if (!owners.allows(st.st_uid) || isSpared(owners, &item, at, name, st)) {
            leaveItem(walk.pathOf(name));
            continue;
        }
        Fd opened;
        int restore = -1;
        error = closeToOthers(item, st, at, name, restore);
        if (!error)
            error = openFolderOf(item, at, name, opened);
        if (error == ENOENT)
            continue;
        if (error)
            return error;
        modes.push_back(restore);
        if ((error = walk.enter(name, std::move(opened))) != 0)
            return error;
    }
}

int removeAt(int parent, std::string_view name)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
    Fd item;
    struct stat st {};
    if (const int error = openItem(parent, entry, item, st))
        return error == ENOENT ? 0 : error;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(parent, entry.c_str(), 0) == 0 || errno == ENOENT ? 0 : errno;
    Fd folder;
    int restore = -1;
    int error = closeToOthers(item, st, parent, entry, restore);
    if (!error)
        error = openFolderOf(item, parent, entry, folder);
    if (error)
        return error == ENOENT ? 0 : error;
    std::vector<std::string> left;
    if ((error = emptyFolder(folder.get(), Owners{true, {}, {}}, left)) != 0)
        return error;
    return ::unlinkat(parent, entry.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : errno;
}

int chmodTreeAt(int parent, std::string_view name, mode_t mode)
{
    if (!isPlainName(name))
        return EINVAL;
    const std::string entry = nameOf(name);
    Fd item;
    struct stat st {};
    if (const int error = openItem(parent, entry, item, st))
        return error;
    if (S_ISLNK(st.st_mode) || (!S_ISDIR(st.st_mode) && st.st_nlink > 1))
        return 0;
    if (const int error = chmodHeld(item, st, parent, entry, mode))
        return error;
    if (!S_ISDIR(st.st_mode))
        return 0;
    Fd folder;
    if (const int error = openFolderOf(item, parent, entry, folder))
        return error;
    return chmodBelow(std::move(folder), mode);
}

int chmodTree(int folder, mode_t mode)
{
    if (::fchmod(folder, mode) != 0)
        return errno;
    Fd top(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!top.valid())
        return errno;
    return chmodBelow(std::move(top), mode);
}

} // namespace DirHandle
