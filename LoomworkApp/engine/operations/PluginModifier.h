#pragma once

#include <optional>

#include <QHash>
#include <QString>

#include "engine/model/Plugin.h"
#include "engine/backup/PluginBackup.h"
#include "engine/templates/TemplateInspector.h"

// Translates a plug-in by renaming the published parameter names in its templates, after
// making sure a backup of the untranslated plug-in exists, and puts that backup back on
// request. A translation backup counts only while its copy is still in the backup.
// Synchronous; the localize sheet calls these from a worker and catches PluginBackupError
// and TemplateEditError there (both carry message()).
namespace PluginModifier {

// The reason of the backup made before a plug-in's first translation.
QString translationReason();

struct Outcome
{
    TemplateInspector::EditSummary summary;
    // The original backup in force after the call; localize() always fills it.
    std::optional<PluginBackup> backup;
};

// Backs the plug-in up unless an original backup exists (a copy of the folder the change
// opened and checked, not of what stands at its name by then), renames the names found as keys
// of `map`, then prunes every plug-in's backups to three (plus each original); once the
// templates are renamed nothing after it reports a failure (a prune that fails is tried again
// at the next translation). Memory running out before then says so. Throws
// PluginBackupError when the backup fails (nothing else happens) and TemplateEditError when
// a template write fails or another file was put at a template's name after it was read (a
// backup made here stays) or, before any backup, when the plug-in
// lies in the system library behind a symbolic link or holds a linked template (linked
// folders are passed over), or when another item stands at its path than the one the list
// showed (`plugin.identity`).
Outcome localize(const Plugin& plugin, const QHash<QString, QString>& map);

// The plug-in's oldest translation backup that still holds its copy.
std::optional<PluginBackup> originalBackup(const Plugin& plugin);
// The untranslated copy's folder inside the original backup, for reading the old names.
std::optional<QString> originalCopy(const Plugin& plugin);

// Restores the original backup over the plug-in folder and removes the plug-in's younger
// translation backups. Returns how many translation backups there were, the original
// included. Throws PluginBackupError: payloadMissing when there is none, or the restore's
// error (then every backup stays).
// `notes` gets what the user must hear besides (another user's items found in the old
// plug-in and left, an old copy the administrator did not remove).
// `told`: the owner the user was told the plug-in has (PluginBackupStore::restore()).
int restoreOriginal(const Plugin& plugin, QStringList* notes = nullptr, std::optional<uid_t> told = std::nullopt);

} // namespace PluginModifier
