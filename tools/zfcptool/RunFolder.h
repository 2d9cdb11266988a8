#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A run's hidden items are zfcptool's hidden names (SafeFS/HiddenName.h) with the id of the
// run's journal entry.
namespace RunFolder {

// In ROOT: the run's folder, locked while the run lives: it holds the run's record and the
// reader's "tree" (links to the staging folders).
inline constexpr std::string_view kRun = "run";
// In each folder plug-ins land in, so that every move stays on one file system: the new
// copies as extracted, and after each exchange the old copy, until the run is finished.
inline constexpr std::string_view kExtract = "extract";
// Inside a staging folder: old copies moved aside where the exchange is refused.
inline constexpr std::string_view kReplaced = "replaced";
inline constexpr char kRecord[] = "entry";
inline constexpr char kTree[] = "tree";
inline constexpr std::string_view kKind = "extract";
inline constexpr char kLeftForNextRun[] = "旧版本或提取记录未能全部删除，下次提取到此处时删除：";
inline constexpr char kNotPutBack[] = "旧版本未能全部放回，下次提取到此处时放回：";

// Removes the run folder `name` in `root` (open as `run`): its record, the record's
// temporaries and the tree, then the folder. Only this user can have put anything there.
int remove(int root, const std::string& name, int run);

// Puts right what runs into ROOT that are over left, by their records alone. A run folder
// counts only when it is this user's, writable by nobody else and its lock is free; its record
// only in its own form (SafeFS::readEntryAt). The caller holds ROOT's lock, so the folder of a
// run that has not yet locked it is never taken for one that is over. Returns what waits, one
// line each: a record that could not be settled (damaged, or naming a place that cannot be
// opened or items that could not be put right) stays, and is said, never dropped.
std::vector<std::string> recover(int root, const std::filesystem::path& rootPath);

} // namespace RunFolder
