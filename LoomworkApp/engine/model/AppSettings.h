#pragma once

#include <QString>
#include <QVariant>

#include "engine/model/AppearanceMode.h"
#include "engine/model/Plugin.h"

// The application's settings (QSettings, top-level keys as the original platform names
// them), read and written only here: typed accessors with their defaults for the keys
// with rules, and plain value access for a feature's own keys. Views never touch QSettings.
class AppSettings
{
public:
    static inline const QString appearanceKey = QStringLiteral("appearanceMode");
    static inline const QString lastInstallRootKey = QStringLiteral("lastInstallRoot");
    static inline const QString toolbarDisplayModeKey = QStringLiteral("toolbarDisplayMode");
    static inline const QString marketDeviceIdKey = QStringLiteral("loomwork_market_device_id");

    // The one reading of "appearanceMode": "light", "dark", else (missing or unknown) system.
    static AppearanceMode appearance();
    static void setAppearance(AppearanceMode mode);

    // The library the install sheet offers first: "system", else the user library.
    static PluginRoot lastInstallRoot();
    static void setLastInstallRoot(PluginRoot root);

    // The market's device identifier as stored: a non-empty string, else empty.
    static QString marketDeviceId();
    static void setMarketDeviceId(const QString& id);

    static QVariant value(const QString& key, const QVariant& fallback = {});
    static void setValue(const QString& key, const QVariant& value);
    static void remove(const QString& key);
};
