#include <SafeFS/HiddenName.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace SafeFS {

namespace {

constexpr std::string_view kAppMark = ".loomwork-";
constexpr std::string_view kToolPrefix = ".zfcptool-";
constexpr std::size_t kDigits = 16;
constexpr std::size_t kLongestPurpose = 16;
constexpr std::size_t kMaxNameBytes = 255;

bool isLowerHex(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool isPurpose(std::string_view text)
{
    return !text.empty() && text.size() <= kLongestPurpose
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

} // namespace

std::string hiddenLabel(std::string_view label)
{
    if (1 + label.size() + kAppMark.size() + kLongestPurpose + 1 + kDigits <= kMaxNameBytes)
        return std::string(label);
    // FNV-1a: only tells long labels apart, nothing depends on it being hard to invert.
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : label) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char digits[kDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return digits;
}

std::string hiddenName(std::string_view label, std::string_view purpose, std::string_view digits)
{
    return "." + hiddenLabel(label) + std::string(kAppMark) + std::string(purpose) + "-" + std::string(digits);
}

bool isHiddenForm(std::string_view name)
{
    if (name.size() < 1 + 1 + 1 + kDigits || name.front() != '.' || name.find('/') != std::string_view::npos)
        return false;
    const std::string_view digits = name.substr(name.size() - kDigits);
    if (!isLowerHex(digits) || name[name.size() - kDigits - 1] != '-')
        return false;
    const std::string_view rest = name.substr(0, name.size() - kDigits - 1);
    if (rest.starts_with(kToolPrefix) && isPurpose(rest.substr(kToolPrefix.size())))
        return true;
    // The label may hold anything, ".loomwork-" included: the purpose follows the last mark.
    const std::size_t mark = rest.rfind(kAppMark);
    return mark != std::string_view::npos && mark >= 1 && isPurpose(rest.substr(mark + kAppMark.size()));
}

std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id)
{
    return std::string(kToolPrefix).append(purpose).append("-").append(id);
}

std::string zfcptoolIdOf(std::string_view name, std::string_view purpose)
{
    const std::string head = zfcptoolHiddenName(purpose, {});
    if (name.size() != head.size() + kDigits || !name.starts_with(head))
        return {};
    const std::string_view id = name.substr(head.size());
    return isLowerHex(id) ? std::string(id) : std::string();
}

} // namespace SafeFS
