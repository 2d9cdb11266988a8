#include "library/PluginListView.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/Hairline.h"
#include "ui/Theme.h"
#include "ui/Transitions.h"
#include "ui/WindowWidth.h"
#include "library/EmptyStateView.h"
#include "library/ListStatusBar.h"
#include "library/ListToolbar.h"
#include "library/MarkAnimator.h"
#include "library/PluginSearchBar.h"
#include "library/PluginTableView.h"

namespace {
constexpr int kFocusDelayMs = 80;
constexpr int kSearchOpenMs = 180;
constexpr int kSearchCloseMs = 160;
constexpr qreal kMarkStartSeconds = 1.5;
} // namespace

PluginListView::PluginListView(AppState* state, OperationsCenter* ops,
                               PluginListController::InstallRequest requestInstall, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_ops(ops)
    , m_requestInstall(std::move(requestInstall))
    , m_controller(new PluginListController(state, ops, this))
    , m_model(new PluginListModel(state, m_controller, this))
    , m_windowWidth(WindowWidth::kDefault)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_searchBar = new PluginSearchBar(state, this);
    m_searchBar->hide();
    column->addWidget(m_searchBar);

    m_stack = new QStackedWidget(this);
    m_scanning = new QWidget(m_stack);
    {
        auto* layout = new QVBoxLayout(m_scanning);
        layout->addStretch(1);
        auto* busy = new QProgressBar(m_scanning);
        busy->setRange(0, 0);
        busy->setTextVisible(false);
        busy->setFixedSize(120, 6);
        layout->addWidget(busy, 0, Qt::AlignHCenter);
        auto* label = new QLabel(QStringLiteral("正在扫描插件…"), m_scanning);
        label->setFont(Theme::calloutFont());
        layout->addWidget(label, 0, Qt::AlignHCenter);
        layout->addStretch(1);
    }
    m_empty = new EmptyStateView(m_stack);
    m_table = new PluginTableView(m_model, m_controller, m_stack);
    m_stack->addWidget(m_scanning);
    m_stack->addWidget(m_empty);
    m_stack->addWidget(m_table);
    column->addWidget(m_stack, 1);
    column->addWidget(new Hairline(this));
    m_statusBar = new ListStatusBar(m_controller, this);
    column->addWidget(m_statusBar);

    m_toolbar = new ListToolbar(m_controller, this);
    m_findShortcut = new QShortcut(QKeySequence::Find, this);
    m_findShortcut->setContext(Qt::WindowShortcut);
    m_findShortcut->setEnabled(false);

    connect(m_empty, &EmptyStateView::refreshRequested, state, &AppState::refresh);
    connect(m_empty, &EmptyStateView::installRequested, this, &PluginListView::pickFiles);
    connect(m_searchBar, &PluginSearchBar::closeRequested, this, &PluginListView::closeSearch);
    connect(m_table, &PluginTableView::actionTriggered, this, &PluginListView::onRowAction);
    connect(m_table, &PluginTableView::contextMenuRequested, this, [this](const Plugin& plugin, const QPoint& pos) {
        QMenu* menu = makeContextMenu(plugin);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(pos);
    });
    connect(m_toolbar, &ListToolbar::installClicked, this, &PluginListView::pickFiles);
    connect(m_toolbar, &ListToolbar::backupClicked, this, &PluginListView::backupRequested);
    connect(m_toolbar, &ListToolbar::refreshClicked, state, &AppState::refresh);
    connect(m_toolbar, &ListToolbar::deleteClicked, this, &PluginListView::deleteSelected);
    connect(m_toolbar, &ListToolbar::searchClicked, this, [this] { m_searchOpen ? closeSearch() : openSearch(); });
    connect(m_findShortcut, &QShortcut::activated, this, [this] { m_searchOpen ? closeSearch() : openSearch(); });

    connect(state, &AppState::pluginsChanged, this, &PluginListView::syncContent);
    connect(state, &AppState::filteredPluginsChanged, this, &PluginListView::syncContent);
    connect(state, &AppState::isScanningChanged, this, &PluginListView::syncContent);
    m_table->setShowSize(PluginListController::isWide(m_windowWidth));
    syncContent();
}

void PluginListView::setLoggedIn(bool loggedIn)
{
    m_toolbar->setLoggedIn(loggedIn);
    m_findShortcut->setEnabled(loggedIn);
}

void PluginListView::setWindowWidth(int width)
{
    m_windowWidth = width;
    m_table->setShowSize(PluginListController::isWide(width));
    m_statusBar->setWindowWidth(width);
}

void PluginListView::setCompatLookup(PluginListModel::CompatLookup lookup)
{
    m_model->setCompatLookup(std::move(lookup));
}

void PluginListView::compatChanged()
{
    m_model->compatChanged();
}

void PluginListView::setOpenVersion(PluginAction action)
{
    m_openVersion = std::move(action);
}

void PluginListView::setOpenLocalize(PluginAction action)
{
    m_openLocalize = std::move(action);
}

void PluginListView::installToolbar(QToolBar* toolbar)
{
    m_toolbar->install(toolbar);
}

QWidget* PluginListView::currentContent() const
{
    return m_stack->currentWidget();
}

void PluginListView::syncContent()
{
    if (!m_state)
        return;
    if (m_state->isScanning() && m_state->plugins().isEmpty()) {
        m_stack->setCurrentWidget(m_scanning);
    } else if (m_state->filteredCount() == 0) {
        m_empty->setHasAnyPlugin(!m_state->plugins().isEmpty());
        m_stack->setCurrentWidget(m_empty);
    } else {
        m_stack->setCurrentWidget(m_table);
    }
}

void PluginListView::paintEvent(QPaintEvent*)
{
    // One surface behind the search bar, the list and its empty states. Painted rather
    // than set as the background role, which would turn the labels' text role into Text.
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Base));
}

void PluginListView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The first scan after launch; a scan already running is not asked again.
    if (m_state && m_state->plugins().isEmpty() && !m_state->isScanning())
        m_state->refresh();
    MarkAnimator& animator = MarkAnimator::shared();
    if (!animator.started) {
        animator.started = true;
        animator.scheduleNext(kMarkStartSeconds);
    }
}

void PluginListView::openSearch()
{
    m_searchOpen = true;
    Transitions::slideIn(m_searchBar, kSearchOpenMs);
    m_toolbar->setSearchOpen(true);
    QPointer<PluginSearchBar> bar = m_searchBar;
    QTimer::singleShot(kFocusDelayMs, this, [this, bar] {
        if (bar && m_searchOpen)
            bar->field()->setFocus(Qt::OtherFocusReason);
    });
}

void PluginListView::closeSearch()
{
    m_searchOpen = false;
    if (m_searchBar->isVisible())
        Transitions::slideOut(m_searchBar, kSearchCloseMs);
    m_toolbar->setSearchOpen(false);
    if (m_state && !m_state->searchText().isEmpty())
        m_state->setSearchText(QString());
    // The keys go back to the list (shown again now that the text is cleared), never nowhere.
    if (m_searchBar->isAncestorOf(QApplication::focusWidget()) || !QApplication::focusWidget()) {
        if (m_stack->currentWidget() == m_table)
            m_table->setFocus(Qt::OtherFocusReason);
        else
            m_stack->currentWidget()->setFocus(Qt::OtherFocusReason);
    }
}

void PluginListView::pickFiles()
{
    QPointer<PluginListView> self(this);
    PluginListController::pickFiles([self](const QList<QUrl>& urls) {
        if (self && self->m_requestInstall)
            self->m_requestInstall(urls);
    });
}

void PluginListView::focusList()
{
    if (m_stack->currentWidget() == m_table && !m_table->hasFocus())
        m_table->setFocus(Qt::OtherFocusReason);
}

void PluginListView::deleteSelected()
{
    if (!m_controller->canDelete() || !m_state)
        return;
    m_controller->deleteWithConfirmation(m_state->selectedPlugins());
}

void PluginListView::quickBackup(const Plugin& plugin)
{
    if (m_controller->rowActionsEnabled())
        m_controller->quickBackup(plugin);
}

void PluginListView::onRowAction(const Plugin& plugin, PluginRow::Action action)
{
    switch (action) {
    case PluginRow::quickBackup:
        quickBackup(plugin);
        break;
    case PluginRow::version:
        if (m_openVersion)
            m_openVersion(plugin);
        break;
    case PluginRow::localize:
        if (m_openLocalize)
            m_openLocalize(plugin);
        break;
    }
}

QMenu* PluginListView::makeContextMenu(const Plugin& plugin)
{
    auto* menu = new QMenu(this);
    const bool enabled = m_controller->rowActionsEnabled();
    QAction* backup = menu->addAction(QStringLiteral("快速备份…"), this, [this, plugin] { quickBackup(plugin); });
    backup->setEnabled(enabled);
    if (m_openVersion) {
        menu->addAction(QStringLiteral("版本升降…"), this, [this, plugin] { m_openVersion(plugin); })->setEnabled(enabled);
    }
    if (m_openLocalize) {
        menu->addAction(QStringLiteral("插件汉化…"), this, [this, plugin] { m_openLocalize(plugin); })->setEnabled(enabled);
    }
    menu->addSeparator();
    QAction* remove = menu->addAction(QStringLiteral("删除"), this, [this, plugin] {
        // The question is asked once the menu has gone.
        QTimer::singleShot(0, this, [this, plugin] { m_controller->deleteWithConfirmation({plugin}); });
    });
    remove->setEnabled(enabled);
    return menu;
}
