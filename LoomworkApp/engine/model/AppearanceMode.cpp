#include "engine/model/AppearanceMode.h"

std::optional<AppearanceMode> AppearanceMode::from(const QString& raw)
{
    for (const AppearanceMode mode : allCases()) {
        if (mode.rawValue() == raw)
            return mode;
    }
    return std::nullopt;
}

const std::array<AppearanceMode, 3>& AppearanceMode::allCases()
{
    static const std::array<AppearanceMode, 3> cases{AppearanceMode(system), AppearanceMode(light),
                                                     AppearanceMode(dark)};
    return cases;
}

QString AppearanceMode::rawValue() const
{
    switch (m_value) {
    case light: return QStringLiteral("light");
    case dark: return QStringLiteral("dark");
    case system: break;
    }
    return QStringLiteral("system");
}

QString AppearanceMode::title() const
{
    switch (m_value) {
    case light: return QStringLiteral("浅色");
    case dark: return QStringLiteral("深色");
    case system: break;
    }
    return QStringLiteral("跟随系统");
}

QString AppearanceMode::symbol() const
{
    switch (m_value) {
    case light: return QStringLiteral("sun.max");
    case dark: return QStringLiteral("moon");
    case system: break;
    }
    return QStringLiteral("circle.lefthalf.filled");
}
