#include "engine/market/MarketInstallRegistry.h"

#include <optional>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>

#include "engine/core/AppPaths.h"
#include "engine/core/AtomicFile.h"
#include "engine/core/EngineText.h"
#include "engine/core/JsonRead.h"
#include "engine/core/SystemError.h"
#include "engine/model/Plugin.h"

namespace {

QMutex g_lock;
std::optional<QHash<QString, MarketInstallRegistry::Entry>> g_copy;

QHash<QString, MarketInstallRegistry::Entry> readFile()
{
    QFile file(MarketInstallRegistry::fileURL());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return {};
    QHash<QString, MarketInstallRegistry::Entry> result;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonObject entry = it.value().toObject();
        const auto pluginId = entry.value(QLatin1String("pluginId"));
        const auto name = entry.value(QLatin1String("name"));
        const auto installedAt = JsonRead::wholeNumber(entry.value(QLatin1String("installedAt")));
        if (!it.value().isObject() || !pluginId.isString() || !name.isString() || !installedAt)
            return {}; // one malformed entry spoils the whole file, as the decoder sees it
        result.insert(it.key(), {pluginId.toString(), name.toString(), *installedAt});
    }
    return result;
}

// Caller holds g_lock.
QHash<QString, MarketInstallRegistry::Entry>& loaded()
{
    if (!g_copy)
        g_copy = readFile();
    return *g_copy;
}

// Caller holds g_lock. 0 or the errno of the write; the in-memory copy stays authoritative.
int save()
{
    QJsonObject root;
    for (auto it = g_copy->cbegin(); it != g_copy->cend(); ++it) {
        root.insert(it.key(), QJsonObject{{QStringLiteral("pluginId"), it->pluginId},
                                          {QStringLiteral("name"), it->name},
                                          {QStringLiteral("installedAt"), double(it->installedAt)}});
    }
    return AtomicFile::write(MarketInstallRegistry::fileURL(), QJsonDocument(root).toJson(QJsonDocument::Compact));
}

void addNames(QSet<QString>& names, const QString& folder)
{
    const auto entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const auto& entry : entries) {
        if (entry.startsWith(QLatin1Char('.')))
            continue;
        names.insert(entry.trimmed().toLower());
    }
}

} // namespace

bool MarketInstallRegistry::InstalledSnapshot::contains(const QString& pluginId,
                                                        const std::optional<QString>& name) const
{
    if (!pluginId.isEmpty() && pluginIds.contains(pluginId))
        return true;
    if (!name)
        return false;
    const QString key = name->trimmed().toLower();
    return !key.isEmpty() && dirNames.contains(key);
}

QString MarketInstallRegistry::fileURL()
{
    return AppPaths::marketFolder() + QStringLiteral("/market-installed.json");
}

QString MarketInstallRegistry::standardizedPath(const QString& path)
{
    QString cleaned = QDir::cleanPath(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    return cleaned;
}

int MarketInstallRegistry::registerPaths(const QStringList& paths, const QString& pluginId, const QString& name)
{
    if (paths.isEmpty())
        return 0;
    QMutexLocker locker(&g_lock);
    auto& copy = loaded();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const auto& path : paths)
        copy.insert(standardizedPath(path), {pluginId, name, now});
    return save();
}

int MarketInstallRegistry::unregisterPaths(const QStringList& paths)
{
    if (paths.isEmpty())
        return 0;
    QMutexLocker locker(&g_lock);
    auto& copy = loaded();
    for (const auto& path : paths)
        copy.remove(standardizedPath(path));
    return save();
}

QString MarketInstallRegistry::saveFailure(int error)
{
    return QStringLiteral("市场插件记录未能保存（") + SystemError::describe(error)
        + QStringLiteral("），记录文件仍是之前的内容，重新启动后这些插件的市场标记可能不对：") + fileURL();
}

bool MarketInstallRegistry::isMarket(const QString& path)
{
    const QString key = standardizedPath(path);
    QMutexLocker locker(&g_lock);
    return loaded().contains(key);
}

MarketInstallRegistry::InstalledSnapshot MarketInstallRegistry::snapshot()
{
    InstalledSnapshot result;
    const auto copy = entries();
    for (auto it = copy.cbegin(); it != copy.cend(); ++it) {
        if (QFileInfo::exists(it.key()))
            result.pluginIds.insert(it->pluginId);
    }
    for (const PluginRoot root : PluginRoot::allCases()) {
        for (const ZFCPluginType type : ZFCPluginType::allCases())
            addNames(result.dirNames, root.path() + QLatin1Char('/') + EngineText::directoryName(type));
    }
    return result;
}

QHash<QString, MarketInstallRegistry::Entry> MarketInstallRegistry::entries()
{
    QMutexLocker locker(&g_lock);
    return loaded();
}

void MarketInstallRegistry::reloadFromDisk()
{
    QMutexLocker locker(&g_lock);
    g_copy.reset();
}
