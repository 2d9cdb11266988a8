#pragma once

#include <functional>
#include <optional>

#include <QObject>
#include <QString>

#include "engine/model/AppSettings.h"

class QApplication;

// Light or dark, following the "appearanceMode" setting: "light", "dark", or "system"
// (also a missing or unknown value), which follows the desktop's colour scheme where it
// can be read and is light otherwise.
class Appearance : public QObject
{
    Q_OBJECT
public:
    static Appearance& instance();

    // Once at start-up: Fusion style, the icon font, the application font with CJK
    // fallback, then apply().
    static void install(QApplication& app);

    bool isDark() const { return m_dark; }
    // "system", "light" or "dark" as read by the last apply().
    QString mode() const { return m_mode; }

    // Reads "appearanceMode" and, when the outcome changed, sets the application palette
    // (every widget repaints) and emits changed().
    void apply();

    // Runs `apply` now and after every later change of appearance, while `owner` lives: for
    // views that put colours into their widgets (palettes, style sheets, tinted pictures),
    // which the application palette alone does not renew.
    static void follow(QObject* owner, std::function<void()> apply);

    // Where "system" learns the desktop's preference: true dark, false light, none unknown.
    using DesktopSchemeReader = std::function<std::optional<bool>()>;
    void setDesktopSchemeReader(DesktopSchemeReader reader);
    static std::optional<bool> readDesktopScheme();

    static inline const QString settingsKey = AppSettings::appearanceKey;

signals:
    void changed(bool dark);

private slots:
    void desktopSettingChanged();

private:
    Appearance() = default;
    bool m_dark = false;
    bool m_applied = false;
    QString m_mode = QStringLiteral("system");
    DesktopSchemeReader m_reader;
};
