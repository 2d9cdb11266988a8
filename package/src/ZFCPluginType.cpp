#include "LoomworkKit/ZFCPluginType.h"

namespace {

struct TypeInfo {
    std::string_view raw;
    std::string_view directory;
    std::string_view display;
};

constexpr std::array<TypeInfo, 4> kInfo{{
    {"effect", "Effects.localized", "效果"},
    {"subtitle", "Titles.localized", "字幕"},
    {"generator", "Generators.localized", "发生器"},
    {"transitions", "Transitions.localized", "转场"},
}};

} // namespace

std::optional<ZFCPluginType> ZFCPluginType::from(std::string_view raw)
{
    for (const ZFCPluginType type : allCases()) {
        if (kInfo[type].raw == raw)
            return type;
    }
    return std::nullopt;
}

const std::array<ZFCPluginType, 4>& ZFCPluginType::allCases()
{
    static const std::array<ZFCPluginType, 4> cases{effect, subtitle, generator, transitions};
    return cases;
}

std::string_view ZFCPluginType::rawValue() const { return kInfo[m_value].raw; }
std::string_view ZFCPluginType::directoryName() const { return kInfo[m_value].directory; }
std::string_view ZFCPluginType::displayName() const { return kInfo[m_value].display; }
