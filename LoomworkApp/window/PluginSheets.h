#pragma once

#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>

class AppState;
class BackupSheet;
struct CompatTable;
class LocalizeSheet;
struct Plugin;
class PluginListView;
class VersionSheet;

// The sheets the plug-in list asks for: backup (its toolbar), version and translation (its
// rows), one template sheet at a time and none while the list's operations are off. They
// open over the list's window and report back to the list's controller, so the list
// itself knows no sheet. Lives as long as the list.
class PluginSheets : public QObject
{
    Q_OBJECT
public:
    PluginSheets(PluginListView* list, AppState* state);
    ~PluginSheets() override;

    void showBackup();
    // A rewrite rescans; a translation or a restore also updates the translated marks.
    void showVersion(const Plugin& plugin, const CompatTable& table, const std::optional<QString>& installedFCP);
    void showLocalize(const Plugin& plugin);

    BackupSheet* backupSheet() const;
    VersionSheet* versionSheet() const;
    LocalizeSheet* localizeSheet() const;

private:
    PluginListView* m_list;
    QPointer<AppState> m_state;
    QPointer<BackupSheet> m_backupSheet;
    QPointer<VersionSheet> m_versionSheet;
    QPointer<LocalizeSheet> m_localizeSheet;
};
