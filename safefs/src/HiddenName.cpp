#include <SafeFS/HiddenName.h>

#include <algorithm>

namespace SafeFS {

namespace {

constexpr std::string_view kToolPrefix = ".zfcptool-";
constexpr std::string_view kAppMark = ".loomwork-";
constexpr std::size_t kIdDigits = 16;

bool isId(std::string_view digits)
{
    return digits.size() == kIdDigits && std::all_of(digits.begin(), digits.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

bool isHiddenForm(std::string_view name)
{
    if (name.size() < 2 + kIdDigits || name[0] != '.' || name[name.size() - kIdDigits - 1] != '-'
        || !isId(name.substr(name.size() - kIdDigits)))
        return false;
    const std::string_view rest = name.substr(0, name.size() - kIdDigits - 1);
    return rest.starts_with(kToolPrefix) || rest.find(kAppMark) != std::string_view::npos;
}

std::string zfcptoolHiddenName(std::string_view purpose, std::string_view id)
{
    return std::string(kToolPrefix).append(purpose).append("-").append(id);
}

std::string zfcptoolIdOf(std::string_view name, std::string_view purpose)
{
    const std::string head = zfcptoolHiddenName(purpose, {});
    if (name.size() != head.size() + kIdDigits || !name.starts_with(head))
        return {};
    const std::string_view id = name.substr(head.size());
    return isId(id) ? std::string(id) : std::string();
}

} // namespace SafeFS
