#include "library/PluginTableView.h"

#include <QContextMenuEvent>
#include <QCursor>
#include <QScrollBar>
#include <QKeyEvent>
#include <QPainter>
#include <QStyledItemDelegate>

#include "library/PluginListController.h"
#include "library/PluginListModel.h"

class PluginTableView::Delegate : public QStyledItemDelegate
{
public:
    explicit Delegate(PluginTableView* view) : QStyledItemDelegate(view), m_view(view) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        return {200, PluginRow::kHeight};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        m_view->rowAt(index.row()).paint(*painter, QRectF(option.rect));
    }

private:
    PluginTableView* m_view;
};

PluginTableView::PluginTableView(PluginListModel* model, PluginListController* controller, QWidget* parent)
    : QListView(parent), m_model(model), m_controller(controller)
{
    setModel(model);
    setItemDelegate(new Delegate(this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setSpacing(0);
    setContentsMargins(0, 0, 0, 0);
    setViewportMargins(0, 5, 0, 5);
    connect(model, &QAbstractItemModel::modelReset, this, [this] {
        m_hoverRow = -1;
        m_hoverButton = -1;
        m_pressRow = -1;
    });
    connect(controller, &PluginListController::actionStatesChanged, viewport(), qOverload<>(&QWidget::update));
    // Rows move under a resting pointer while the list scrolls.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (m_hoverRow < 0)
            return;
        const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
        int row = -1;
        const auto action = viewport()->rect().contains(pos) ? actionUnder(pos, &row) : std::nullopt;
        setHover(row, action ? int(*action) : -1);
    });
}

void PluginTableView::setShowSize(bool show)
{
    if (show == m_showSize)
        return;
    m_showSize = show;
    viewport()->update();
}

PluginRow PluginTableView::rowAt(int row) const
{
    PluginRow r;
    const QModelIndex index = m_model->index(row);
    if (const Plugin* plugin = m_model->pluginAt(row))
        r.plugin = *plugin;
    r.showSize = m_showSize;
    r.compatText = index.data(PluginListModel::CompatTextRole).toString();
    r.needsUpgrade = index.data(PluginListModel::NeedsUpgradeRole).toBool();
    r.showsActions = index.data(PluginListModel::ShowsActionsRole).toBool();
    r.isHighlighted = index.data(PluginListModel::HighlightedRole).toBool();
    r.isLocalized = index.data(PluginListModel::LocalizedRole).toBool();
    r.hovering = row == m_hoverRow;
    r.hoveredButton = row == m_hoverRow ? m_hoverButton : -1;
    r.actionsEnabled = m_controller->rowActionsEnabled();
    return r;
}

std::optional<QRect> PluginTableView::actionRect(int row, PluginRow::Action action) const
{
    const QRect item = visualRect(m_model->index(row));
    PluginRow r = rowAt(row);
    r.hovering = true;
    const auto layout = r.layout(QRectF(item));
    if (!layout.buttons)
        return std::nullopt;
    return (*layout.buttons)[std::size_t(action)].toAlignedRect();
}

std::optional<PluginRow::Action> PluginTableView::actionUnder(const QPoint& pos, int* rowOut) const
{
    const QModelIndex index = indexAt(pos);
    *rowOut = index.isValid() ? index.row() : -1;
    if (!index.isValid())
        return std::nullopt;
    PluginRow r = rowAt(index.row());
    r.hovering = true; // the pointer is on the row
    return r.actionAt(QRectF(visualRect(index)), QPointF(pos));
}

void PluginTableView::updateRow(int row)
{
    if (row >= 0)
        viewport()->update(visualRect(m_model->index(row)));
}

void PluginTableView::setHover(int row, int button)
{
    if (row == m_hoverRow && button == m_hoverButton)
        return;
    const int old = m_hoverRow;
    m_hoverRow = row;
    m_hoverButton = button;
    updateRow(old);
    updateRow(row);
    // A window moved under a resting pointer sends the list no leave event: watch it.
    if (row >= 0 && window() != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = window();
        m_watchedWindow->installEventFilter(this);
    }
}

bool PluginTableView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_watchedWindow && event->type() == QEvent::Move)
        setHover(-1, -1);
    return QListView::eventFilter(watched, event);
}

void PluginTableView::mouseMoveEvent(QMouseEvent* event)
{
    int row = -1;
    const auto action = actionUnder(event->position().toPoint(), &row);
    setHover(row, action ? int(*action) : -1);
}

bool PluginTableView::viewportEvent(QEvent* event)
{
    if (event->type() == QEvent::Leave)
        setHover(-1, -1);
    return QListView::viewportEvent(event);
}

void PluginTableView::mousePressEvent(QMouseEvent* event)
{
    m_pressRow = -1;
    m_pressButton = -1;
    if (event->button() != Qt::LeftButton) {
        event->accept();
        return;
    }
    setFocus(Qt::MouseFocusReason);
    int row = -1;
    const auto action = actionUnder(event->position().toPoint(), &row);
    setHover(row, action ? int(*action) : -1);
    if (row < 0)
        return;
    if (action) {
        m_pressRow = row;
        m_pressButton = int(*action);
        return;
    }
    if (const Plugin* plugin = m_model->pluginAt(row)) {
        const QString id = plugin->id();
        m_controller->handleRowTap(id, PluginListController::clickKind(event->modifiers()));
    }
}

void PluginTableView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_pressRow < 0)
        return;
    int row = -1;
    const auto action = actionUnder(event->position().toPoint(), &row);
    const int pressedRow = std::exchange(m_pressRow, -1);
    const int pressedButton = std::exchange(m_pressButton, -1);
    if (!action || row != pressedRow || int(*action) != pressedButton || !m_controller->rowActionsEnabled())
        return;
    if (const Plugin* plugin = m_model->pluginAt(row)) {
        const Plugin copy = *plugin;
        emit actionTriggered(copy, *action);
    }
}

void PluginTableView::mouseDoubleClickEvent(QMouseEvent* event)
{
    // A second click is another tap (a double click toggles twice, as two clicks would).
    mousePressEvent(event);
}

void PluginTableView::contextMenuEvent(QContextMenuEvent* event)
{
    const QModelIndex index = indexAt(event->pos());
    if (const Plugin* plugin = m_model->pluginAt(index.isValid() ? index.row() : -1)) {
        const Plugin copy = *plugin;
        emit contextMenuRequested(copy, event->globalPos());
    }
    event->accept();
}

void PluginTableView::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::SelectAll)) {
        m_controller->selectAllListed();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
        m_controller->moveSelection(-1);
        break;
    case Qt::Key_Down:
        m_controller->moveSelection(1);
        break;
    default:
        QListView::keyPressEvent(event);
        return;
    }
    if (const auto& id = m_controller->lastClickedID()) {
        const int row = m_model->rowOf(*id);
        if (row >= 0)
            scrollTo(m_model->index(row));
    }
}
