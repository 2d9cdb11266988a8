#include "engine/templates/LocalizedStore.h"

#include <climits>

#include <QFile>
#include <QJsonDocument>

#include "engine/core/AppPaths.h"
#include "engine/core/AtomicFile.h"
#include "engine/core/EngineText.h"
#include "engine/core/JsonRead.h"
#include "engine/core/ReferenceDate.h"
#include "engine/core/SystemError.h"

namespace {

enum class FileState {
    missing,
    decoded,
    undecodable
};

FileState readRecords(QHash<QString, LocalizedRecord>& out)
{
    out.clear();
    QFile file(LocalizedStore::fileURL());
    if (!file.exists())
        return FileState::missing;
    if (!file.open(QIODevice::ReadOnly))
        return FileState::missing; // unreadable: nothing to set aside, nothing we may replace blindly
    const auto doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return FileState::undecodable;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const auto record = it.value().isObject() ? LocalizedRecord::fromJson(it.value().toObject()) : std::nullopt;
        if (!record) {
            out.clear();
            return FileState::undecodable;
        }
        out.insert(it.key(), *record);
    }
    return FileState::decoded;
}

int writeRecords(const QHash<QString, LocalizedRecord>& records, FileState before)
{
    const QString path = LocalizedStore::fileURL();
    if (before == FileState::undecodable) {
        const QString bad = path + QStringLiteral(".bad");
        QFile::remove(bad);
        QFile::rename(path, bad);
    }
    QJsonObject root;
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        root.insert(it.key(), it->toJson());
    return AtomicFile::write(path, QJsonDocument(root).toJson(QJsonDocument::Compact));
}

} // namespace

std::optional<LocalizedRecord> LocalizedRecord::fromJson(const QJsonObject& object)
{
    const auto pluginName = object.value(QLatin1String("pluginName"));
    const auto path = object.value(QLatin1String("path"));
    const auto root = object.value(QLatin1String("root"));
    const auto type = object.value(QLatin1String("type"));
    const auto count = object.value(QLatin1String("count"));
    const auto date = object.value(QLatin1String("date"));
    if (!pluginName.isString() || !path.isString() || !root.isString() || !type.isString() || !count.isDouble()
        || !date.isDouble())
        return std::nullopt;
    const auto countValue = JsonRead::wholeNumber(count);
    const auto when = ReferenceDate::fromSeconds(date.toDouble());
    if (!countValue || *countValue < INT_MIN || *countValue > INT_MAX || !when)
        return std::nullopt;
    LocalizedRecord record;
    record.pluginName = pluginName.toString();
    record.path = path.toString();
    record.root = root.toString();
    record.type = type.toString();
    record.count = int(*countValue);
    record.date = *when;
    return record;
}

QJsonObject LocalizedRecord::toJson() const
{
    return {{QStringLiteral("pluginName"), pluginName},
            {QStringLiteral("path"), path},
            {QStringLiteral("root"), root},
            {QStringLiteral("type"), type},
            {QStringLiteral("count"), count},
            {QStringLiteral("date"), ReferenceDate::toSeconds(date)}};
}

QString LocalizedStore::fileURL()
{
    return AppPaths::applicationFolder() + QStringLiteral("/localized.json");
}

QHash<QString, LocalizedRecord> LocalizedStore::records()
{
    QHash<QString, LocalizedRecord> result;
    readRecords(result);
    return result;
}

QString LocalizedStore::saveFailure(int error)
{
    return QStringLiteral("汉化记录未能保存（") + SystemError::describe(error)
        + QStringLiteral("），插件本身已改好，记录文件仍是之前的内容：") + fileURL();
}

int LocalizedStore::mark(const Plugin& plugin, int count)
{
    QHash<QString, LocalizedRecord> all;
    const FileState before = readRecords(all);
    LocalizedRecord record;
    record.pluginName = plugin.name;
    record.path = plugin.path;
    record.root = plugin.root.rawValue();
    record.type = EngineText::rawValue(plugin.type);
    record.count = count;
    record.date = QDateTime::currentDateTimeUtc();
    all.insert(plugin.path, record);
    return writeRecords(all, before);
}

int LocalizedStore::remove(const QString& path)
{
    QHash<QString, LocalizedRecord> all;
    const FileState before = readRecords(all);
    return all.remove(path) > 0 ? writeRecords(all, before) : 0;
}

int LocalizedStore::prune(const QSet<QString>& validPaths)
{
    QHash<QString, LocalizedRecord> all;
    const FileState before = readRecords(all);
    bool dropped = false;
    for (auto it = all.begin(); it != all.end();) {
        if (validPaths.contains(it.key())) {
            ++it;
        } else {
            it = all.erase(it);
            dropped = true;
        }
    }
    return dropped ? writeRecords(all, before) : 0;
}
