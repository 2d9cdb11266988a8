#pragma once

#include <optional>

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QString>

#include "engine/model/Plugin.h"

// The record of one translated plug-in, keyed by its folder path in localized.json.
struct LocalizedRecord
{
    QString pluginName;
    QString path;
    QString root; // PluginRoot raw value
    QString type; // ZFCPluginType raw value
    int count = 0;
    QDateTime date;

    bool operator==(const LocalizedRecord&) const = default;

    // Every key is required; a wrong type fails the record.
    static std::optional<LocalizedRecord> fromJson(const QJsonObject& object);
    QJsonObject toJson() const;
};

// localized.json in the application folder: which plug-ins have been translated. Used on
// the GUI thread. Writes are atomic; a file that cannot be decoded is set aside as
// "localized.json.bad" before it is replaced, so no one's records vanish unseen.
namespace LocalizedStore {

QString fileURL();

// Path -> record. Missing or undecodable file: empty.
QHash<QString, LocalizedRecord> records();

// Each returns 0, or the errno of saving the file, which then holds what it held before.
[[nodiscard]] int mark(const Plugin& plugin, int count);
[[nodiscard]] int remove(const QString& path);
// Keeps only the records whose path is in `validPaths`; writes only when one is dropped.
[[nodiscard]] int prune(const QSet<QString>& validPaths);
// What the user reads when the file could not be saved (`error` from the three above).
QString saveFailure(int error);

} // namespace LocalizedStore
