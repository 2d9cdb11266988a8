#include "engine/model/AppSettings.h"

#include <QSettings>

AppearanceMode AppSettings::appearance()
{
    return AppearanceMode::from(QSettings().value(appearanceKey).toString()).value_or(AppearanceMode::system);
}

void AppSettings::setAppearance(AppearanceMode mode)
{
    QSettings().setValue(appearanceKey, mode.rawValue());
}

PluginRoot AppSettings::lastInstallRoot()
{
    return QSettings().value(lastInstallRootKey).toString() == QLatin1String("system") ? PluginRoot::system
                                                                                       : PluginRoot::user;
}

void AppSettings::setLastInstallRoot(PluginRoot root)
{
    QSettings().setValue(lastInstallRootKey, root.rawValue());
}

QString AppSettings::marketDeviceId()
{
    QSettings settings;
    const QVariant stored = settings.value(marketDeviceIdKey);
    return stored.typeId() == QMetaType::QString ? stored.toString() : QString();
}

void AppSettings::setMarketDeviceId(const QString& id)
{
    QSettings settings;
    settings.setValue(marketDeviceIdKey, id);
    settings.sync();
}

QVariant AppSettings::value(const QString& key, const QVariant& fallback)
{
    return QSettings().value(key, fallback);
}

void AppSettings::setValue(const QString& key, const QVariant& value)
{
    QSettings().setValue(key, value);
}

void AppSettings::remove(const QString& key)
{
    QSettings().remove(key);
}
