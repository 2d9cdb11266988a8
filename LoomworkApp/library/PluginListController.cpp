#include "library/PluginListController.h"

#include <unistd.h>

#include <QSet>
#include <QTimer>

#include "engine/core/AlertPresenter.h"
#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"
#include "engine/core/SystemError.h"
#include "engine/files/HeldFolders.h"
#include "engine/files/PluginOwner.h"
#include "engine/files/PluginRemoval.h"
#include "engine/templates/LocalizedStore.h"

PluginListController::PluginListController(AppState* state, OperationsCenter* ops, QObject* parent)
    : QObject(parent), m_state(state), m_ops(ops)
{
    connect(state, &AppState::selectedPluginsChanged, this, &PluginListController::actionStatesChanged);
    connect(state, &AppState::selectionChanged, this, &PluginListController::actionStatesChanged);
    connect(state, &AppState::isScanningChanged, this, &PluginListController::actionStatesChanged);
    connect(ops, &OperationsCenter::isBusyChanged, this, &PluginListController::actionStatesChanged);
}

PluginListController::Click PluginListController::clickKind(Qt::KeyboardModifiers modifiers)
{
    // Qt reports ⌘ as the control modifier on macOS.
    if (modifiers & Qt::ControlModifier)
        return Click::toggle;
    if (modifiers & Qt::ShiftModifier)
        return Click::range;
    return Click::plain;
}

void PluginListController::handleRowTap(const QString& id, Click click)
{
    QSet<QString> selection = m_state->selection();
    if (click == Click::toggle) {
        if (!selection.remove(id))
            selection.insert(id);
        m_lastClickedID = id;
        m_state->setSelection(selection);
        return;
    }
    const QList<Plugin>& listed = m_state->filteredPlugins();
    if (click == Click::range && m_lastClickedID) {
        qsizetype anchor = -1;
        qsizetype target = -1;
        for (qsizetype i = 0; i < listed.size() && (anchor < 0 || target < 0); ++i) {
            const QString rowId = listed[i].id();
            if (anchor < 0 && rowId == *m_lastClickedID)
                anchor = i;
            if (target < 0 && rowId == id)
                target = i;
        }
        if (anchor >= 0 && target >= 0) {
            QSet<QString> range;
            for (qsizetype i = std::min(anchor, target); i <= std::max(anchor, target); ++i)
                range.insert(listed[i].id());
            m_lastClickedID = id;
            m_state->setSelection(range);
            return;
        }
    }
    if (selection.size() == 1 && selection.contains(id)) {
        m_lastClickedID.reset();
        m_state->setSelection({});
        return;
    }
    m_lastClickedID = id;
    m_state->setSelection({id});
}

void PluginListController::moveSelection(int delta)
{
    const QList<Plugin>& listed = m_state->filteredPlugins();
    if (listed.isEmpty())
        return;
    qsizetype row = -1;
    if (m_lastClickedID) {
        for (qsizetype i = 0; i < listed.size(); ++i) {
            if (listed[i].id() == *m_lastClickedID) {
                row = i;
                break;
            }
        }
    }
    row = row < 0 ? (delta > 0 ? 0 : listed.size() - 1) : std::clamp<qsizetype>(row + delta, 0, listed.size() - 1);
    m_lastClickedID = listed[row].id();
    m_state->setSelection({*m_lastClickedID});
}

void PluginListController::selectAllListed()
{
    QSet<QString> all;
    for (const Plugin& plugin : m_state->filteredPlugins())
        all.insert(plugin.id());
    m_state->setSelection(all);
}

bool PluginListController::isHighlighted(const QString& id) const
{
    return m_state->selection().contains(id);
}

bool PluginListController::showsActions(const QString& id) const
{
    const QSet<QString>& selection = m_state->selection();
    return selection.size() == 1 && selection.contains(id);
}

bool PluginListController::canBackup() const
{
    return !m_state->selectedPlugins().isEmpty() && !m_ops->isBusy();
}

bool PluginListController::canDelete() const
{
    return canBackup();
}

bool PluginListController::canRefresh() const
{
    return !m_state->isScanning();
}

bool PluginListController::rowActionsEnabled() const
{
    return !m_ops->isBusy();
}

QString PluginListController::deleteMessage(int count)
{
    return QStringLiteral("将删除选中的 %1 个插件，插件文件会从磁盘移除且无法撤销。").arg(count);
}

QString PluginListController::ownersNote(const QList<Plugin>& targets)
{
    HeldFolders held;
    return ownersNote(targets, held);
}

QString PluginListController::ownersNote(const QList<Plugin>& targets, HeldFolders& held)
{
    QList<PluginOwner::Owned> owned;
    for (const Plugin& plugin : targets) {
        if (const std::optional<uid_t> owner = held.readOwner(plugin.path, plugin.identity))
            owned.append({plugin.name, *owner});
    }
    return PluginOwner::note(owned);
}

bool PluginListController::deleteWithConfirmation(const QList<Plugin>& targets)
{
    if (m_ops->isBusy())
        return false;
    m_deleteTargets = targets;
    // The owners are read through the folders the delete then acts in.
    auto held = std::make_shared<HeldFolders>();
    const bool confirmed = AlertPresenter::current().confirm(
        QStringLiteral("确认删除"), deleteMessage(int(m_deleteTargets.size())) + ownersNote(m_deleteTargets, *held),
        AlertPresenter::Style::warning, QStringLiteral("删除"), QStringLiteral("取消"));
    const QList<Plugin> taken = std::exchange(m_deleteTargets, {});
    if (!confirmed || !m_ops)
        return false;
    // Another user may move a listed plug-in into one being deleted: it is never deleted with it.
    QSet<QString> chosen;
    for (const Plugin& plugin : taken)
        chosen.insert(plugin.id());
    std::vector<SafeFS::Identity> spared;
    for (const Plugin& plugin : m_state->plugins()) {
        if (!chosen.contains(plugin.id()) && plugin.identity.known())
            spared.push_back(plugin.identity);
    }
    QPointer<AppState> state = m_state;
    m_ops->remove(taken, [state] {
        if (!state)
            return;
        state->setSelection({});
        state->refresh();
    }, std::move(spared), std::move(held));
    return true;
}

int PluginListController::backupCount() const
{
    return int(m_state->selectedPlugins().size());
}

qint64 PluginListController::backupTotalBytes() const
{
    qint64 total = 0;
    for (const Plugin& plugin : m_state->selectedPlugins())
        total += plugin.sizeBytes;
    return total;
}

void PluginListController::confirmBackup()
{
    const QList<Plugin> plugins = m_state->selectedPlugins();
    const BackupMode mode = m_backupMode;
    QPointer<AppState> state = m_state;
    QPointer<OperationsCenter> ops = m_ops;
    QTimer::singleShot(kBackupDelayMs, this, [ops, state, plugins, mode] {
        if (!ops)
            return;
        ops->backup(plugins, mode, std::nullopt, [state] {
            if (state)
                state->refresh();
        });
    });
}

QString PluginListController::quickBackupFileName(const QString& pluginName)
{
    QString name = pluginName;
    name.replace(u'/', u'-');
    name.replace(u':', u'-');
    return name + QStringLiteral(".zfcp");
}

void PluginListController::quickBackup(const Plugin& plugin)
{
    m_ops->backup({plugin}, BackupMode::single, quickBackupFileName(plugin.name));
}

void PluginListController::pickFiles(const InstallRequest& onPicked)
{
    AlertPresenter::Panel panel;
    panel.kind = AlertPresenter::Panel::Kind::open;
    panel.title = QStringLiteral("选择 .zfcp 插件备份");
    panel.message = QStringLiteral("选择一个或多个 .zfcp 备份文件，接下来可选择安装到用户库或系统库。");
    panel.prompt = QStringLiteral("选择");
    // Qt's dialog matches the pattern in any letter case.
    panel.nameFilters = {QStringLiteral("Loomwork 插件备份 (*.zfcp)")};
    panel.allowsMultipleSelection = true;
    panel.canChooseFiles = true;
    panel.canChooseDirectories = false;
    AlertPresenter::current().presentPanel(panel, [onPicked](const QList<QUrl>& urls) {
        if (!urls.isEmpty() && onPicked)
            onPicked(urls);
    });
}

QString PluginListController::filterText(LibraryFilter library, std::optional<ZFCPluginType> category)
{
    QString word;
    switch (library.kind()) {
    case LibraryFilter::all: word = QStringLiteral("全部插件"); break;
    case LibraryFilter::root: word = library.pluginRoot().title(); break;
    case LibraryFilter::localized: word = QStringLiteral("已汉化插件"); break;
    }
    if (category)
        word += QStringLiteral(" · ") + EngineText::displayName(*category);
    return word;
}

PluginListController::StatusLine PluginListController::statusLine(int windowWidth) const
{
    StatusLine line;
    line.scanning = m_state->isScanning();
    line.filter = filterText(m_state->libraryFilter(), m_state->categoryFilter());
    line.count = QString::number(m_state->filteredCount()) + QStringLiteral(" 个插件");
    line.total = QStringLiteral("共 ") + m_state->totalSizeText();
    if (!m_state->selection().isEmpty())
        line.selected = QStringLiteral("已选 %1 项").arg(m_state->selection().size());
    if (isWide(windowWidth) && m_state->lastScanAt()) {
        line.lastScan = QStringLiteral("上次扫描 ") + EngineText::shortTimeText(m_state->lastScanAt()->toLocalTime().time());
    }
    const auto error = m_state->scanErrors().constFind(PluginRoot::system);
    if (error != m_state->scanErrors().constEnd())
        line.systemError = QStringLiteral("系统库不可读：") + *error;
    return line;
}

void PluginListController::recordTranslation(const Plugin& plugin, int changed, int remainingChinese, int writeError)
{
    const int unsaved = remainingChinese != 0 ? LocalizedStore::mark(plugin, changed) : LocalizedStore::remove(plugin.path);
    if (writeError && m_ops) {
        m_ops->setAlertTitle(QStringLiteral("磁盘报告了写入错误"));
        m_ops->setAlertMessage(
            SystemError::writeErrorText(QStringLiteral("插件「") + FsPath::displayText(plugin.name) + QStringLiteral("」已汉化"), writeError)
            + (unsaved ? QStringLiteral("\n") + LocalizedStore::saveFailure(unsaved) : QString()));
    } else {
        tellUnsavedRecord(unsaved);
    }
    if (m_state) {
        m_state->reloadLocalized();
        m_state->refresh();
    }
}

void PluginListController::forgetTranslation(const Plugin& plugin, const QStringList& notes)
{
    if (!notes.isEmpty() && m_ops) {
        m_ops->setAlertTitle(QStringLiteral("已还原，部分项目未删除"));
        m_ops->setAlertMessage(notes.join(QLatin1Char('\n')));
    }
    tellUnsavedRecord(LocalizedStore::remove(plugin.path));
    if (m_state) {
        m_state->reloadLocalized();
        m_state->refresh();
    }
}

// The plug-in's files are changed by then: only the record is missing, which the shared
// alert says.
void PluginListController::tellUnsavedRecord(int error)
{
    if (error == 0 || !m_ops)
        return;
    m_ops->setAlertTitle(QStringLiteral("汉化记录未保存"));
    m_ops->setAlertMessage(LocalizedStore::saveFailure(error));
}
