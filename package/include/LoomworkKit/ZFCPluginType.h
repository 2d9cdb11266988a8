#pragma once

#include <array>
#include <optional>
#include <string_view>

// The category of a plug-in. Its raw value is the type key stored in packages and in
// the application's own records; its directory name is the category folder of a library.
class ZFCPluginType
{
public:
    enum Value {
        effect,
        subtitle,
        generator,
        transitions
    };

    constexpr ZFCPluginType(Value value) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // The case whose raw value equals `raw` exactly (case-sensitive, no trimming).
    static std::optional<ZFCPluginType> from(std::string_view raw);
    // effect, subtitle, generator, transitions: the order categories are walked in.
    static const std::array<ZFCPluginType, 4>& allCases();

    std::string_view rawValue() const;
    std::string_view directoryName() const;
    std::string_view displayName() const;

private:
    Value m_value;
};

// Category folder for a plug-in whose type string matches no case.
inline constexpr std::string_view kOtherCategoryDirectory = "Other.localized";
