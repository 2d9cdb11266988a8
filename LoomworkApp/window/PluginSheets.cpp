#include "window/PluginSheets.h"

#include "engine/library/AppState.h"
#include "engine/templates/CompatTable.h"
#include "engine/model/Plugin.h"
#include "library/PluginListController.h"
#include "library/PluginListView.h"
#include "sheets/BackupSheet.h"
#include "sheets/LocalizeSheet.h"
#include "sheets/VersionSheet.h"

PluginSheets::PluginSheets(PluginListView* list, AppState* state)
    : QObject(list)
    , m_list(list)
    , m_state(state)
{
    connect(list, &PluginListView::backupRequested, this, &PluginSheets::showBackup);
}

PluginSheets::~PluginSheets()
{
    if (m_backupSheet)
        m_backupSheet->dismiss();
}

void PluginSheets::showBackup()
{
    PluginListController* controller = m_list->controller();
    if (!controller->canBackup() || m_backupSheet)
        return;
    QPointer<PluginSheets> self(this);
    auto close = [self] {
        if (self && self->m_backupSheet) {
            self->m_backupSheet->dismiss();
            self->m_backupSheet->deleteLater();
            self->m_backupSheet = nullptr;
        }
    };
    QPointer<PluginListController> owner(controller);
    auto* sheet = new BackupSheet(
        controller->backupCount(), controller->backupTotalBytes(), controller->backupMode(), close,
        [owner, close] {
            close();
            if (owner)
                owner->confirmBackup();
        },
        m_list->window());
    connect(sheet, &BackupSheet::modeChanged, controller, &PluginListController::setBackupMode);
    m_backupSheet = sheet;
    sheet->open();
}

void PluginSheets::showVersion(const Plugin& plugin, const CompatTable& table,
                               const std::optional<QString>& installedFCP)
{
    if (!m_list->controller()->rowActionsEnabled() || m_versionSheet || m_localizeSheet)
        return;
    QPointer<AppState> state = m_state;
    auto* sheet = new VersionSheet(plugin, table, installedFCP, [state] {
        if (state)
            state->refresh();
    }, m_list->window());
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        m_versionSheet = nullptr;
        sheet->deleteLater();
    });
    m_versionSheet = sheet;
    sheet->open();
}

void PluginSheets::showLocalize(const Plugin& plugin)
{
    if (!m_list->controller()->rowActionsEnabled() || m_versionSheet || m_localizeSheet)
        return;
    QPointer<PluginListController> controller = m_list->controller();
    auto* sheet = new LocalizeSheet(
        plugin,
        [controller, plugin](const LocalizeOutcome& outcome) {
            if (controller)
                controller->recordTranslation(plugin, outcome.changed, outcome.remainingChinese, outcome.writeError);
        },
        [controller, plugin](const QStringList& notes) {
            if (controller)
                controller->forgetTranslation(plugin, notes);
        },
        m_list->window());
    connect(sheet, &QDialog::finished, this, [this, sheet] {
        m_localizeSheet = nullptr;
        sheet->deleteLater();
    });
    m_localizeSheet = sheet;
    sheet->open();
}

BackupSheet* PluginSheets::backupSheet() const
{
    return m_backupSheet;
}

VersionSheet* PluginSheets::versionSheet() const
{
    return m_versionSheet;
}

LocalizeSheet* PluginSheets::localizeSheet() const
{
    return m_localizeSheet;
}
