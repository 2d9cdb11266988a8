#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

// The one app-wide channel between components that do not hold each other.
// post() may be called from any thread; receivers connected with a context object
// get the signal on that object's thread.
class NotificationHub : public QObject
{
    Q_OBJECT
public:
    static NotificationHub& instance();

    void post(const QString& name, const QVariantMap& userInfo = {});

signals:
    void posted(const QString& name, const QVariantMap& userInfo);

private:
    NotificationHub() = default;
};

namespace Notifications {
inline const QString pluginsDidChange = QStringLiteral("pluginsDidChange");
inline const QString zfcpFilesOpened = QStringLiteral("zfcpFilesOpened");
inline const QString openMarketRequested = QStringLiteral("openMarketRequested");
inline const QString openSettingsRequested = QStringLiteral("openSettingsRequested");
inline const QString openAccountRequested = QStringLiteral("openAccountRequested");
inline const QString marketShouldRefresh = QStringLiteral("marketShouldRefresh");
inline const QString marketDetailClose = QStringLiteral("marketDetailClose");
} // namespace Notifications
