#include "engine/core/AppPaths.h"

#include <QDir>
#include <QFileInfo>
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
        base = temporaryFolder();
    return ensured(base + QLatin1Char('/') + QLatin1String(BuildInfo::bundleIdentifier));
}

QString AppPaths::marketFolder()
{
    QString base = dataLocation();
    if (base.isEmpty())
        base = temporaryFolder();
    return ensured(base + QStringLiteral("/Loomwork"));
}

QString AppPaths::temporaryFolder()
{
    const QString folder = QDir::tempPath();
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        return folder;
    return QStringLiteral("/tmp");
}
