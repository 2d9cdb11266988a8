#include "engine/AppPaths.h"

#include <QDir>
#include <QStandardPaths>

#include "BuildInfo.h"

namespace {

QString ensured(const QString& path)
{
    QDir().mkpath(path);
    return path;
}

QString dataLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

} // namespace

QString AppPaths::applicationFolder()
{
    QString base = dataLocation();
    if (base.isEmpty())
        base = QDir::tempPath();
    return ensured(base + QLatin1Char('/') + QLatin1String(BuildInfo::bundleIdentifier));
}

QString AppPaths::marketFolder()
{
    QString base = dataLocation();
    if (base.isEmpty())
        base = QDir::tempPath();
    return ensured(base + QStringLiteral("/Loomwork"));
}
