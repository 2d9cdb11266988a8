#include "LoomworkKit/ZFCLeftovers.h"

#include <string_view>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Exactly the names the packer gives them: ".zfcp-<UUID>.data" and ".zfcp-<UUID>.part", the
// UUID a random (version 4) one in upper-case hex. Anything else is the user's.
bool isPackTemporary(std::string_view name)
{
    constexpr std::string_view prefix = ".zfcp-";
    constexpr std::size_t uuidLength = 36;
    if (name.size() != prefix.size() + uuidLength + 5 || !name.starts_with(prefix) ||
        !(name.ends_with(".data") || name.ends_with(".part")))
        return false;
    const std::string_view uuid = name.substr(prefix.size(), uuidLength);
    for (std::size_t i = 0; i < uuid.size(); ++i) {
        const char c = uuid[i];
        const bool ok = i == 8 || i == 13 || i == 18 || i == 23 ? c == '-'
                      : i == 14                                ? c == '4'
                      : i == 19                                ? c == '8' || c == '9' || c == 'A' || c == 'B'
                                                               : (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

std::chrono::system_clock::time_point ZFCLeftovers::changedAt(const struct stat& st)
{
#ifdef __APPLE__
    const timespec changed = st.st_ctimespec;
#else
    const timespec changed = st.st_ctim;
#endif
    const auto since = std::chrono::seconds(changed.tv_sec) + std::chrono::nanoseconds(changed.tv_nsec);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

bool ZFCLeftovers::changedBefore(const std::filesystem::path& path, std::chrono::system_clock::time_point when)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && changedAt(st) < when;
}

std::size_t ZFCLeftovers::removeStalePackTemporaries(const std::filesystem::path& folder,
                                                     std::chrono::system_clock::time_point olderThan) noexcept
{
    // Read through the folder's handle with the system's own calls: they allocate nothing but
    // the stream, whose failure is an error returned. (std::filesystem's iterator ends the
    // process when memory runs out inside it.)
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        // Never a link, folder or anything else that is not a plain file.
        struct stat st;
        if (!isPackTemporary(entry->d_name) || ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(st.st_mode))
            continue;
        if (changedAt(st) < olderThan && ::unlinkat(fd, entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}
