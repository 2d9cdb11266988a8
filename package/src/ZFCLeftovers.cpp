#include "LoomworkKit/ZFCLeftovers.h"

#include <string_view>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The names the packer gives them: ".zfcp-<id>.data" and ".zfcp-<id>.part".
bool isPackTemporary(std::string_view name)
{
    constexpr std::string_view prefix = ".zfcp-";
    if (name.size() <= prefix.size() + 5 || !name.starts_with(prefix))
        return false;
    return name.ends_with(".data") || name.ends_with(".part");
}

} // namespace

bool ZFCLeftovers::changedBefore(const std::filesystem::path& path, std::chrono::system_clock::time_point when)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
#ifdef __APPLE__
    const timespec changed = st.st_ctimespec;
#else
    const timespec changed = st.st_ctim;
#endif
    const auto since = std::chrono::seconds(changed.tv_sec) + std::chrono::nanoseconds(changed.tv_nsec);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(since))
         < when;
}

std::size_t ZFCLeftovers::removeStalePackTemporaries(const std::filesystem::path& folder,
                                                     std::chrono::system_clock::time_point olderThan)
{
    std::size_t removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        std::error_code statusError;
        if (!isPackTemporary(path.filename().native())
            || it->symlink_status(statusError).type() != std::filesystem::file_type::regular)
            continue;
        if (changedBefore(path, olderThan) && ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}
