#pragma once

#include <optional>

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// Which plug-in folders were installed from the market, and as which market plug-in.
// Kept in "market-installed.json" and in memory after the first use. Every operation is
// safe from any thread: one lock is held through loading, changing and saving, so
// concurrent register/unregister calls never lose each other's entries.
namespace MarketInstallRegistry {

struct Entry
{
    QString pluginId;
    QString name;
    qint64 installedAt = 0; // whole seconds since 1970

    bool operator==(const Entry&) const = default;
};

struct InstalledSnapshot
{
    QSet<QString> pluginIds;
    QSet<QString> dirNames; // lower-cased, trimmed folder names of both libraries

    bool contains(const QString& pluginId, const std::optional<QString>& name) const;
};

// <market folder>/market-installed.json; the folder is created when missing.
QString fileURL();

// Both return 0, or the errno of saving the file (which then holds what it held before);
// the in-memory copy has the change either way.
[[nodiscard]] int registerPaths(const QStringList& paths, const QString& pluginId, const QString& name);
[[nodiscard]] int unregisterPaths(const QStringList& paths);
// What the user reads when the file could not be saved (`error` from the two above).
QString saveFailure(int error);
bool isMarket(const QString& path);
InstalledSnapshot snapshot();

// The in-memory copy as it stands (for inspection).
QHash<QString, Entry> entries();
// Forgets the in-memory copy so that the next call reads the file again.
void reloadFromDisk();

// The key a folder is recorded under: absolute, no "." or ".." parts, no trailing "/".
QString standardizedPath(const QString& path);

} // namespace MarketInstallRegistry
