#include "account/SettingsTab.h"

namespace {

struct TabText {
    const char* raw;
    const char* title;
    const char* symbol;
};

constexpr TabText kTexts[] = {
    {"appearance", "外观", "paintpalette"},
    {"library", "授权", "lock.shield"},
    {"account", "账户", "person.crop.circle"},
    {"about", "关于", "info.circle"},
};

} // namespace

std::optional<SettingsTab> SettingsTab::from(const QString& raw)
{
    for (const SettingsTab tab : allCases()) {
        if (raw == QLatin1String(kTexts[tab].raw))
            return tab;
    }
    return std::nullopt;
}

const std::array<SettingsTab, 4>& SettingsTab::allCases()
{
    static constexpr std::array<SettingsTab, 4> cases{appearance, library, account, about};
    return cases;
}

QString SettingsTab::rawValue() const
{
    return QString::fromLatin1(kTexts[m_value].raw);
}

QString SettingsTab::title() const
{
    return QString::fromUtf8(kTexts[m_value].title);
}

QString SettingsTab::symbol() const
{
    return QString::fromLatin1(kTexts[m_value].symbol);
}
