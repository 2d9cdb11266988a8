#pragma once

#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include "engine/model/Plugin.h"
#include "engine/backup/PluginBackup.h"

// Full copies of plug-in folders under <application folder>/Backups, so that a plug-in can
// be put back as it was before it was changed. One backup is one folder holding meta.json
// and payload/<plug-in folder name>. No state in memory: every call reads the folder tree.
// Synchronous; run the copying calls off the GUI thread. Throwing calls throw
// PluginBackupError, which their callers catch and show.
namespace PluginBackupStore {

// The content of meta.json. Every key is required when reading.
struct Meta
{
    QString pluginName;
    QString originalPath;
    QDateTime createdAt; // stored as seconds since 2001-01-01 00:00:00 UTC
    QString reason;
    qint64 byteCount = 0;

    static std::optional<Meta> fromJson(const QByteArray& json);
    QByteArray toJson() const;
};

// meta.json is a few hundred bytes; anything far larger is not ours.
inline constexpr qint64 kMaxMetaBytes = 1024 * 1024;

// <application folder>/Backups; not created by asking.
QString root();

// "yyyyMMdd-HHmmss-<name>-<suffix>": the name with / : \ ? % * | " < > each turned into "-"
// and cut to 40 characters (fewer when they would not fit a file name).
QString folderName(const QDateTime& localTime, const QString& pluginName, const QString& suffix);

// Copies the plug-in folder into a new backup; links inside stay links. In the user's
// library a linked plug-in folder is followed and linked templates are copied as the files
// they lead to. In the system library the plug-in is read through folder handles from the
// library root, and one that is a link or lies behind one is refused (PluginBackupError
// with the link refusal). On failure nothing of the new backup is left behind. `folder`, when
// given, is the plug-in folder's open handle, whose identity the caller checked: the copy reads
// what that handle holds, never what stands at the plug-in's path by now.
PluginBackup createBackup(const Plugin& plugin, const QString& reason, qint64 byteCount, int folder = -1);

// Every backup whose meta.json decodes, newest first (equal times in name order). Memory that
// runs out while the folders are listed throws std::bad_alloc, never lists too few.
QList<PluginBackup> allBackups();
// Those whose originalPath equals the plug-in's path exactly, newest first.
QList<PluginBackup> backups(const Plugin& plugin);

// Keeps each plug-in's `keepPerPlugin` newest backups plus its original translation backup;
// removes the rest (and what removals cut short left), ignoring failures.
void prune(int keepPerPlugin);
// Removes the backup folder `directory`: it first takes a hidden name of its own, so that a
// removal cut short leaves nothing that is listed as a backup, and the next prune finishes it.
// 0 or the errno.
int discard(const QString& directory);

// The copied plug-in folder inside the backup: payload/<original folder name>, else the
// first folder in payload; none when the payload holds no folder (std::bad_alloc when memory
// ran out looking).
std::optional<QString> payloadCopy(const PluginBackup& backup);

// Backups made before a translation have a reason containing "汉化".
bool isTranslationBackup(const PluginBackup& backup);
// Of a plug-in's backups (newest first), the oldest translation backup whose copy is
// still there; none when there is no such backup.
std::optional<PluginBackup> originalTranslationBackup(const QList<PluginBackup>& newestFirst);

// Puts the backup's copy in place of the plug-in folder through a staging folder beside
// it; the old folder is only swapped out once the copy is complete, and comes back when
// the swap fails. A refusal for lack of rights falls back to AdminAuth::adminReplace.
// A system plug-in holding a linked template is refused before anything changes; in the
// user's library linked templates stay links and get the backed-up text where they point,
// whole or nothing (a kill between putting the plug-in in place and committing its linked
// templates leaves those templates as they were). Linked folders come back as the links they
// were. The backup itself is never changed. Only the plug-in the list showed (its identity)
// is replaced. Returns what the user must hear besides: another user's items found in the old
// plug-in and left, an old copy the administrator did not remove. `told`: the owner the user was
// told the plug-in has; the administrator replaces or removes it only while it has that owner.
QStringList restore(const PluginBackup& backup, const Plugin& plugin, std::optional<uid_t> told = std::nullopt);

} // namespace PluginBackupStore
