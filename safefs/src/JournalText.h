// What the journal's entry format, its folder and its recovery share: the entry's constants and
// the small text and path helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SafeFS::JournalText {

inline constexpr std::string_view kHeader = "loomwork journal 1";
inline constexpr std::string_view kEnd = "end";
inline constexpr std::string_view kSuffix = ".entry";
inline constexpr std::size_t kIdDigits = 16;
// An entry names at most every template of a plug-in; anything far larger is not ours.
inline constexpr long long kMaxEntryBytes = 64LL * 1024 * 1024;

bool isId(std::string_view id);
std::string hex(std::string_view bytes);
std::optional<std::string> unhex(std::string_view text);
std::vector<std::string_view> words(std::string_view line);
std::optional<std::uint64_t> number(std::string_view text);
std::string parentOf(std::string_view path);
std::string nameOf(std::string_view path);
std::string joinPath(const std::string& a, const std::string& b);

} // namespace SafeFS::JournalText
