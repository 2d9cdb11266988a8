#include "TreeScan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"

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

// Lists the folder `dir`, open as `dirFd` (closed here), into `out` in pre-order with names
// sorted. Attributes are read relative to the open folder, so no path is walked again for
// every name.
void scanInto(int dirFd, const fs::path& dir, const std::string& rel, kit::TreeScan& out, const kit::FileId& skip)
{
    DIR* const listing = ::fdopendir(dirFd);
    if (!listing) {
        const int error = errno;
        ::close(dirFd);
        errno = error;
        kit::throwErrno("cannot open directory", dir);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* child = ::readdir(listing);
        if (!child) {
            if (errno != 0)
                kit::throwErrno("cannot read directory", dir);
            break;
        }
        if (std::strcmp(child->d_name, ".") != 0 && std::strcmp(child->d_name, "..") != 0)
            names.emplace_back(child->d_name);
    }
    std::sort(names.begin(), names.end());

    const auto add = [&out](ZFCEntry entry, bool regular) {
        out.entries.push_back({std::move(entry)});
        out.regular.push_back(regular);
    };
    for (const std::string& name : names) {
        const std::string path = rel.empty() ? name : rel + "/" + name;
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
            const int childFd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (haveAttributes ? O_NOFOLLOW : 0));
            if (childFd < 0)
                kit::throwErrno("cannot open directory", dir / name);
            scanInto(childFd, dir / name, path, out, skip);
        } else {
            add({.type = "file", .path = path, .size = haveAttributes ? int64_t(st.st_size) : 0, .position = 0},
                haveAttributes && S_ISREG(st.st_mode));
        }
    }
}

} // namespace

void kit::TreeScan::scan(const fs::path& dir, const FileId& skip)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        kit::throwErrno("cannot open directory", dir);
    scanInto(fd, dir, {}, *this, skip);
}
