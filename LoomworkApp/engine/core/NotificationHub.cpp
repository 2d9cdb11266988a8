#include "engine/core/NotificationHub.h"

NotificationHub& NotificationHub::instance()
{
    static NotificationHub hub;
    return hub;
}

void NotificationHub::post(const QString& name, const QVariantMap& userInfo)
{
    emit posted(name, userInfo);
}
