#include <SafeFS/HiddenName.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

namespace SafeFS {

namespace {

constexpr std::size_t kDigits = 16;
constexpr std::string_view kLoomworkMark = ".loomwork-";
constexpr std::string_view kRewritePrefix = ".loomwork-rewrite-";
constexpr std::string_view kRecordSuffix = ".record";
constexpr std::string_view kZfcptoolPrefix = ".zfcptool-";

bool isDigits(std::string_view text)
{
    return text.size() == kDigits && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool isRewriteTemporary(std::string_view name)
{
    return name.starts_with(kRewritePrefix) && isDigits(name.substr(kRewritePrefix.size()));
}

// What stands before "<purpose>-<digits>" at the end of `name`, if it ends so.
std::optional<std::string_view> beforePurpose(std::string_view name)
{
    if (name.size() < kDigits + 1 || name[name.size() - kDigits - 1] != '-' || !isDigits(name.substr(name.size() - kDigits)))
        return std::nullopt;
    const std::string_view head = name.substr(0, name.size() - kDigits - 1);
    std::size_t start = head.size();
    while (start > 0 && head[start - 1] >= 'a' && head[start - 1] <= 'z')
        --start;
    if (start == head.size())
        return std::nullopt;
    return head.substr(0, start);
}

} // namespace

bool isHiddenForm(std::string_view name)
{
    if (isRewriteTemporary(name)
        || (name.ends_with(kRecordSuffix) && isRewriteTemporary(name.substr(0, name.size() - kRecordSuffix.size()))))
        return true;
    const std::optional<std::string_view> rest = beforePurpose(name);
    if (!rest)
        return false;
    return *rest == kZfcptoolPrefix
        || (rest->size() > kLoomworkMark.size() && rest->front() == '.' && rest->ends_with(kLoomworkMark));
}

std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id)
{
    return std::string(kZfcptoolPrefix).append(purpose).append("-").append(id);
}

std::string zfcptoolIdOf(std::string_view name, std::string_view purpose)
{
    const std::string head = zfcptoolHiddenName(purpose, {});
    if (name.size() != head.size() + kDigits || !name.starts_with(head))
        return {};
    const std::string_view id = name.substr(head.size());
    return isDigits(id) ? std::string(id) : std::string();
}

} // namespace SafeFS
