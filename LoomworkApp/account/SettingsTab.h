#pragma once

#include <array>
#include <optional>

#include <QString>

// One of the settings window's four panes, in the order of its tab bar.
class SettingsTab
{
public:
    enum Value {
        appearance,
        library,
        account,
        about
    };

    constexpr SettingsTab(Value value = appearance) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    // Exactly one of the four raw values (case-sensitive), else none.
    static std::optional<SettingsTab> from(const QString& raw);
    static const std::array<SettingsTab, 4>& allCases();

    QString rawValue() const;
    QString id() const { return rawValue(); }
    QString title() const;
    QString symbol() const;

private:
    Value m_value;
};
