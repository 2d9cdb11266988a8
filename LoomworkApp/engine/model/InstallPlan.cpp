#include "engine/model/InstallPlan.h"

#include <unistd.h>

#include "LoomworkKit/ZFCPackageReader.h"
#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"

QString InstallPlan::key(int packageIndex, ZFCPluginType type, const QString& name)
{
    return QString::number(packageIndex) + QLatin1Char('|') + EngineText::rawValue(type) + QLatin1Char('|')
        + FsPath::fromBytes(ZFCPackageReader::safeName(FsPath::toBytes(name)));
}

QString InstallPlan::key(int packageIndex, ZFCPluginType type, const QString& name, int occurrence)
{
    if (occurrence <= 1)
        return key(packageIndex, type, name);
    return key(packageIndex, type, name) + QLatin1Char('|') + QString::number(occurrence);
}

QString InstallPlan::target(PluginRoot root, ZFCPluginType type, const QString& folder)
{
    return root.path() + QLatin1Char('/') + EngineText::directoryName(type) + QLatin1Char('/') + folder;
}

std::optional<SafeFS::Identity> InstallPlan::seenAt(const QString& target) const
{
    const auto found = seen.constFind(target);
    if (found == seen.constEnd())
        return std::nullopt;
    return *found;
}

uid_t InstallPlan::toldOwnerAt(const QString& target) const
{
    return owners.value(target, ::geteuid());
}
