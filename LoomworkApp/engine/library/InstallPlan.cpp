#include "engine/library/InstallPlan.h"

#include "engine/core/EngineText.h"
#include "engine/files/PackageFiles.h"

QString InstallPlan::key(int packageIndex, ZFCPluginType type, const QString& name)
{
    return QString::number(packageIndex) + QLatin1Char('|') + EngineText::rawValue(type) + QLatin1Char('|')
        + PackageFiles::folderName(name);
}

QString InstallPlan::key(int packageIndex, ZFCPluginType type, const QString& name, int occurrence)
{
    if (occurrence <= 1)
        return key(packageIndex, type, name);
    return key(packageIndex, type, name) + QLatin1Char('|') + QString::number(occurrence);
}
