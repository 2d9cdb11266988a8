#include "online/ServerConfig.h"


#include "BuildInfo.h"
#include "engine/model/AppSettings.h"

namespace {

QString g_argumentValue;

bool usable(const QVariant& value)
{
    return value.typeId() == QMetaType::QString && !value.toString().isEmpty()
        && ServerConfig::parses(value.toString());
}

} // namespace

bool ServerConfig::parses(const QString& text)
{
    return !text.isEmpty() && QUrl(text, QUrl::StrictMode).isValid();
}

QString ServerConfig::resolveBaseURLString(const QVariant& setting, const QVariant& buildValue)
{
    if (usable(setting))
        return setting.toString();
    if (usable(buildValue))
        return buildValue.toString();
    return QString::fromLatin1(defaultBaseURLString);
}

void ServerConfig::setArgumentValue(const QString& value)
{
    g_argumentValue = value;
}

QString ServerConfig::baseURLString()
{
    const QVariant setting = g_argumentValue.isEmpty() ? AppSettings::value(QLatin1String(settingsKey))
                                                       : QVariant(g_argumentValue);
    return resolveBaseURLString(setting,
                                QString::fromUtf8(BuildInfo::serverBaseUrl));
}

QString ServerConfig::webHost()
{
    const QString host = QString::fromUtf8(BuildInfo::webHost).trimmed();
    return host.isEmpty() ? QString::fromLatin1(defaultWebHost) : host;
}

QUrl ServerConfig::baseURL()
{
    const QUrl url(baseURLString(), QUrl::StrictMode);
    if (url.isValid())
        return url;
    return QUrl(QString::fromLatin1(defaultBaseURLString));
}

QUrl ServerConfig::url(const QString& path)
{
    const QUrl base(baseURLString(), QUrl::StrictMode);
    if (!base.isValid())
        return {};
    QString joined = base.toString(QUrl::FullyEncoded);
    if (joined.endsWith(QLatin1Char('/')))
        joined.chop(1);
    joined += path;
    const QUrl result(joined, QUrl::StrictMode);
    return result.isValid() ? result : QUrl();
}
