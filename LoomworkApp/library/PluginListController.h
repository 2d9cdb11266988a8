#pragma once

#include <functional>
#include <optional>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"

class HeldFolders;

// The plug-in list's logic without widgets: the click rules of the selection, what the
// toolbar and the rows may do right now, the delete question, the backup and quick-backup
// runs, the package picker and the status line's texts. The list view and its toolbar
// only draw what this says and forward the user's clicks.
class PluginListController : public QObject
{
    Q_OBJECT
public:
    // At this window width or more the rows show sizes and the status bar the scan time.
    static constexpr int kWideThreshold = 1020;
    // The backup starts this long after the backup sheet was told to close.
    static constexpr int kBackupDelayMs = 280;

    enum class Click {
        plain,
        range,  // Shift
        toggle  // Ctrl, ⌘ on macOS (wins over Shift)
    };

    using InstallRequest = std::function<void(const QList<QUrl>& files)>;

    PluginListController(AppState* state, OperationsCenter* ops, QObject* parent = nullptr);

    AppState* state() const { return m_state; }
    OperationsCenter* ops() const { return m_ops; }

    static Click clickKind(Qt::KeyboardModifiers modifiers);
    static bool isWide(int windowWidth) { return windowWidth >= kWideThreshold; }

    // Selection by clicks on rows (ids of listed plug-ins).
    void handleRowTap(const QString& id, Click click);
    // Arrow keys: the row `delta` away from the anchor (or the first/last row) alone.
    void moveSelection(int delta);
    void selectAllListed();
    const std::optional<QString>& lastClickedID() const { return m_lastClickedID; }

    bool isHighlighted(const QString& id) const;
    // The row whose id is the only selected one keeps its buttons out.
    bool showsActions(const QString& id) const;

    // What may run now (an operation running disables everything that would collide).
    bool canBackup() const;
    bool canDelete() const;
    bool canRefresh() const;
    bool rowActionsEnabled() const;

    // Delete: asks "确认删除" through the alert presenter, then removes the targets,
    // empties the selection and rescans. Returns whether the user confirmed.
    bool deleteWithConfirmation(const QList<Plugin>& targets);
    static QString deleteMessage(int count);
    // What the question adds for targets that belong to another user, named with their owner:
    // another user may have given his plug-in the name of one of ours before the list.
    // Read through `held`, which keeps the folders and the owners told for the delete; at most
    // a few names, then a count.
    static QString ownersNote(const QList<Plugin>& targets);
    static QString ownersNote(const QList<Plugin>& targets, HeldFolders& held);
    const QList<Plugin>& deleteTargets() const { return m_deleteTargets; }

    // The backup sheet's side: the mode survives between presentations.
    BackupMode backupMode() const { return m_backupMode; }
    void setBackupMode(BackupMode mode) { m_backupMode = mode; }
    int backupCount() const;
    qint64 backupTotalBytes() const;
    // Takes the selected plug-ins and the mode now and starts the backup a moment later.
    void confirmBackup();

    static QString quickBackupFileName(const QString& pluginName);
    // One plug-in into one package; no rescan follows.
    void quickBackup(const Plugin& plugin);

    // After the localize sheet wrote names: a plug-in that still holds Chinese names is
    // recorded as translated with `changed`, one without is forgotten; then the list's
    // marks are reloaded and the libraries rescanned.
    // `writeError`: the errno of a write error the disk reported for the translated files,
    // told in the shared alert.
    void recordTranslation(const Plugin& plugin, int changed, int remainingChinese, int writeError = 0);
    // After its untranslated backup was put back: forgotten, marks reloaded, rescanned.
    // A record that cannot be saved is told in the shared alert, by either.
    // After a restore; `notes`, what it left besides, go to the shared alert.
    void forgetTranslation(const Plugin& plugin, const QStringList& notes = {});

    // Lets the user pick packages and hands them to `onPicked` (nothing on cancel).
    static void pickFiles(const InstallRequest& onPicked);

    // The status line.
    static QString filterText(LibraryFilter library, std::optional<ZFCPluginType> category);
    struct StatusLine {
        bool scanning = false;
        QString filter;
        QString count;
        QString total;
        std::optional<QString> selected;
        std::optional<QString> lastScan;
        std::optional<QString> systemError;
    };
    StatusLine statusLine(int windowWidth) const;

signals:
    // The selection, the busy flag or the scan flag changed: enabled states may differ.
    void actionStatesChanged();

private:
    void tellUnsavedRecord(int error);

    QPointer<AppState> m_state;
    QPointer<OperationsCenter> m_ops;
    std::optional<QString> m_lastClickedID;
    QList<Plugin> m_deleteTargets;
    BackupMode m_backupMode = BackupMode::multi;
};
