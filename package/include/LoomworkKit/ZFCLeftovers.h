#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>

struct stat;

// What interrupted work leaves behind. A pack writes ".zfcp-<id>.data" and ".zfcp-<id>.part"
// beside its destination and removes them on every way out but one: being killed.
namespace ZFCLeftovers {

// Whether the item at `path` (a link itself, not followed) last changed (content, mode or
// name: a rename counts) before `when`; false when it cannot be read.
bool changedBefore(const std::filesystem::path& path, std::chrono::system_clock::time_point when);
// When the item `st` describes last changed (its status change time, which a rename moves).
std::chrono::system_clock::time_point changedAt(const struct stat& st);

// Removes the pack temporaries in `folder` (regular files only) that changed before
// `olderThan`: a pack still running writes to its files later than that. Returns how many
// were removed. Never throws; a folder that cannot be read removes nothing.
std::size_t removeStalePackTemporaries(const std::filesystem::path& folder,
                                       std::chrono::system_clock::time_point olderThan) noexcept;

} // namespace ZFCLeftovers
