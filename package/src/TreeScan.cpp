#include "TreeScan.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"
#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"

namespace fs = std::filesystem;

namespace {

// The target of the link `name` in the folder `dirFd`; empty when it cannot be read.
std::string linkTarget(int dirFd, const char* name, std::size_t sizeHint)
{
    std::string target(std::max<std::size_t>(sizeHint, 64) + 1, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dirFd, name, target.data(), target.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// A folder being walked: its entries sorted by name, and the next one to look at.
struct Pending
{
    std::vector<ZFCFolderStack::Entry> entries;
    std::size_t next = 0;
    std::string rel;  // its path below the top
};

fs::path named(const fs::path& shown, const std::string& rel)
{
    return rel.empty() ? shown : shown / rel;
}

// Lists the stack's current folder, at `rel`, onto `pending`.
void listInto(ZFCFolderStack& stack, const fs::path& shown, std::string rel, std::vector<Pending>& pending)
{
    Pending level;
    if (const int error = stack.list(level.entries)) {
        errno = error;
        kit::throwErrno("cannot read directory", named(shown, rel));
    }
    std::sort(level.entries.begin(), level.entries.end(),
              [](const ZFCFolderStack::Entry& a, const ZFCFolderStack::Entry& b) { return a.name < b.name; });
    level.rel = std::move(rel);
    pending.push_back(std::move(level));
}

} // namespace

void kit::TreeScan::scan(int dir, const fs::path& shown, const FileId& skip)
{
    // A reading position of its own, whatever the caller did with `dir`.
    const int top = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0)
        kit::throwErrno("cannot open directory", shown);
    ZFCFolderStack stack(top);
    std::vector<Pending> pending;
    listInto(stack, shown, {}, pending);
    const auto add = [this](ZFCEntry entry, bool isRegular) {
        entries.push_back({std::move(entry)});
        regular.push_back(isRegular);
    };
    // Depth first without recursion: `pending` holds the folders from the top down to the
    // stack's current one. Attributes are read relative to the open folder, so no path is
    // walked again for every name.
    while (!pending.empty()) {
        Pending& level = pending.back();
        if (level.next == level.entries.size()) {
            pending.pop_back();
            stack.leave();
            continue;
        }
        const std::string name = std::move(level.entries[level.next++].name);
        const std::string path = level.rel.empty() ? name : level.rel + "/" + name;
        if (stack.depth() >= ZFCFolderStack::maxDepth)
            throw ZFCPackageError::treeTooDeep(shown.string(), path);
        const int dirFd = stack.fd();
        if (dirFd < 0)
            kit::throwErrno("cannot open directory", named(shown, level.rel));
        struct stat st {};
        const bool haveAttributes = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (haveAttributes && S_ISLNK(st.st_mode)) {
            add({.type = "link", .path = path, .link = linkTarget(dirFd, name.c_str(), static_cast<std::size_t>(st.st_size))}, false);
            continue;
        }
        if (haveAttributes && skip.inode != 0 && st.st_ino == skip.inode && st.st_dev == skip.device)
            continue;
        bool isDirectory = haveAttributes && S_ISDIR(st.st_mode);
        if (!isDirectory && !(haveAttributes && S_ISREG(st.st_mode))) {
            struct stat followed {};
            if (::fstatat(dirFd, name.c_str(), &followed, 0) != 0)
                continue;  // gone
            isDirectory = S_ISDIR(followed.st_mode);
        }
        if (isDirectory) {
            add({.type = "directory", .path = path}, false);
            // Not through a link that took the folder's place since it was looked at.
            if (const int error = stack.enter(name)) {
                errno = error;
                kit::throwErrno("cannot open directory", shown / path);
            }
            listInto(stack, shown, path, pending);
        } else {
            add({.type = "file", .path = path, .size = haveAttributes ? int64_t(st.st_size) : 0, .position = 0},
                haveAttributes && S_ISREG(st.st_mode));
        }
    }
}

void kit::TreeScan::scan(const fs::path& dir, const FileId& skip)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        kit::throwErrno("cannot open directory", dir);
    const ZFCFileHandle held = ZFCFileHandle::adopt(fd, dir);
    scan(held.fd(), dir, skip);
}
