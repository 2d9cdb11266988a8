#pragma once

#include <array>
#include <optional>

#include <QMetaType>
#include <QString>

// The application's light/dark choice, kept under "appearanceMode".
class AppearanceMode
{
public:
    enum Value {
        system,
        light,
        dark
    };

    constexpr AppearanceMode(Value value = system) : m_value(value) {}
    constexpr operator Value() const { return m_value; }

    static std::optional<AppearanceMode> from(const QString& raw);
    static const std::array<AppearanceMode, 3>& allCases();

    QString rawValue() const;
    QString id() const { return rawValue(); }
    QString title() const;
    QString symbol() const;

private:
    Value m_value;
};

Q_DECLARE_METATYPE(AppearanceMode)
