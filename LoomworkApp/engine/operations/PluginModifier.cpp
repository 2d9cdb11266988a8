#include "engine/operations/PluginModifier.h"

#include <new>
#include <optional>

#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/files/TemplateChange.h"
#include "engine/files/TemplateEditError.h"

namespace {

constexpr int kBackupsKeptPerPlugin = 3;

// A translation backup whose copy has gone cannot give the old names back nor be restored,
// so it is left out as if it did not exist.
QList<PluginBackup> usableTranslationBackups(const Plugin& plugin)
{
    QList<PluginBackup> result;
    for (const PluginBackup& backup : PluginBackupStore::backups(plugin)) {
        if (PluginBackupStore::isTranslationBackup(backup) && PluginBackupStore::payloadCopy(backup))
            result.append(backup);
    }
    return result;
}

} // namespace

QString PluginModifier::translationReason()
{
    return QStringLiteral("插件汉化（原文备份）");
}

PluginModifier::Outcome PluginModifier::localize(const Plugin& plugin, const QHash<QString, QString>& map)
{
    // A link in the way is refused before any backup is made, and what a killed change left
    // is put right first, so that it is never backed up.
    std::optional<TemplateChange> change;
    Outcome outcome;
    try {
        change.emplace(plugin.path, nullptr, plugin.identity);
        change->templates();
        outcome.backup = originalBackup(plugin);
        if (!outcome.backup)
            // From the folder the change checked and will rewrite, not by its name again.
            outcome.backup = PluginBackupStore::createBackup(plugin, translationReason(), plugin.sizeBytes,
                                                             change->pluginFolder());
    } catch (const std::bad_alloc&) {
        throw TemplateEditError(QStringLiteral("内存不足，插件没有改动。"));
    }
    outcome.summary = TemplateInspector::applyTranslations(*change, map);
    // The templates are translated: nothing after this may report otherwise. Backups that stay
    // go at the next prune.
    try {
        PluginBackupStore::prune(kBackupsKeptPerPlugin);
    } catch (...) {
    }
    return outcome;
}

std::optional<PluginBackup> PluginModifier::originalBackup(const Plugin& plugin)
{
    return PluginBackupStore::originalTranslationBackup(PluginBackupStore::backups(plugin));
}

std::optional<QString> PluginModifier::originalCopy(const Plugin& plugin)
{
    const auto backup = originalBackup(plugin);
    return backup ? PluginBackupStore::payloadCopy(*backup) : std::nullopt;
}

int PluginModifier::restoreOriginal(const Plugin& plugin, QStringList* notes, std::optional<uid_t> told)
{
    const QList<PluginBackup> translations = usableTranslationBackups(plugin);
    if (translations.isEmpty())
        throw PluginBackupError::payloadMissing();
    const PluginBackup& original = translations.last();
    const QStringList said = PluginBackupStore::restore(original, plugin, told);
    if (notes)
        *notes = said;
    // Restored: a backup that cannot go now (memory ran out) stays until the next prune.
    try {
        for (const PluginBackup& backup : translations) {
            if (backup.id != original.id)
                (void)PluginBackupStore::discard(backup.directory);
        }
    } catch (const std::bad_alloc&) {
    }
    return int(translations.size());
}
