#include "library/ListToolbar.h"

#include <algorithm>
#include <cstdlib>

#include <QAction>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QToolBar>
#include <QVBoxLayout>

#include "online/ServerConfig.h"
#include "ui/Appearance.h"
#include "ui/AppLogo.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "library/HintBadge.h"
#include "library/MarkAnimator.h"
#include "library/PluginListController.h"

namespace {

constexpr qreal kIconSize = 15;
constexpr int kIconLabelGap = 3;
// How far the title and the badge are moved down from where the toolbar centres them.
constexpr int kTitleOffset = 1;
constexpr int kTitleOffsetWithLabels = 13;
constexpr int kBadgeOffset = 4;
constexpr int kBadgeOffsetWithLabels = 5;

bool iconAndLabel(ToolbarModeStore::Mode mode)
{
    return mode == ToolbarModeStore::Mode::iconAndLabel;
}

// Holds one view at its ideal size where the toolbar would centre it, moved down by an
// offset as a drawing offset moves it: the toolbar still places the item by the view's
// size, the item only grows enough to hold the moved view. Over a label line the centre
// is that of the part above it, level with the buttons' icons.
class OffsetItem : public QWidget
{
public:
    OffsetItem(QWidget* view, const QMargins& padding, QWidget* parent)
        : QWidget(parent), m_view(view), m_padding(padding)
    {
        view->setParent(this);
        // The toolbar gives the item its whole height; the view is placed inside it.
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    }

    void setPlacement(int offset, int labelLine)
    {
        m_offset = offset;
        m_labelLine = labelLine;
        updateGeometry();
        place();
    }

    QSize sizeHint() const override
    {
        const QSize view = m_view->sizeHint();
        // Room for the moved view: a child is clipped to the item.
        const int moved = view.height() + std::abs(2 * m_offset - m_labelLine);
        return {view.width() + m_padding.left() + m_padding.right(),
                std::max(view.height() + m_padding.top() + m_padding.bottom(), moved)};
    }

protected:
    bool event(QEvent* event) override
    {
        // The view's ideal size changed (the title's second line came or went).
        if (event->type() == QEvent::LayoutRequest) {
            updateGeometry();
            place();
        }
        return QWidget::event(event);
    }

    void resizeEvent(QResizeEvent*) override { place(); }

private:
    void place()
    {
        const QSize view = m_view->sizeHint();
        const int top = qRound((height() - m_labelLine - view.height()) / 2.0) + m_offset;
        m_view->setGeometry(m_padding.left(), top, view.width(), view.height());
    }

    QWidget* m_view;
    QMargins m_padding;
    int m_offset = 0;
    int m_labelLine = 0;
};

} // namespace

ListToolButton::ListToolButton(const QString& title, const QString& symbol, QWidget* parent)
    : BaseButton(parent), m_symbol(symbol)
{
    setText(title);
    setFont(Theme::captionFont());
    setCursor(Qt::ArrowCursor);
    noFocusRing(this);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ListToolButton::setTint(const QColor& tint)
{
    m_tint = tint;
    update();
}

void ListToolButton::setShowsLabel(bool shows)
{
    if (shows == m_showsLabel)
        return;
    m_showsLabel = shows;
    updateGeometry();
    update();
}

QColor ListToolButton::effectiveTint() const
{
    return isEnabled() ? Theme::buttonFg(m_tint) : Theme::buttonFgDisabled(m_tint);
}

int ListToolButton::labelLineHeight()
{
    return kIconLabelGap + QFontMetrics(Theme::captionFont()).height();
}

QSize ListToolButton::sizeHint() const
{
    if (!m_showsLabel)
        return {30, 28};
    const QFontMetrics fm(Theme::captionFont());
    return {std::max(fm.horizontalAdvance(text()), 22) + 14, int(kIconSize) + labelLineHeight() + 8};
}

void ListToolButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const State s = state();
    if (!s.disabled && (s.over || s.down)) {
        p.setPen(Qt::NoPen);
        p.setBrush(s.down ? Theme::controlBgDown() : Theme::controlBgOver());
        p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
    }
    const QColor tint = effectiveTint();
    if (!m_showsLabel) {
        SymbolIcon::paint(p, QRectF(rect()), m_symbol, tint, kIconSize);
        return;
    }
    const QFontMetricsF fm(Theme::captionFont());
    const qreal iconH = kIconSize + kIconLabelGap;
    const qreal top = (height() - iconH - fm.height()) / 2;
    SymbolIcon::paint(p, QRectF(0, top, width(), kIconSize), m_symbol, tint, kIconSize);
    p.setFont(Theme::captionFont());
    p.setPen(tint);
    p.drawText(QRectF(0, top + iconH, width(), fm.height()), Qt::AlignCenter, text());
}

ListToolbar::ListToolbar(PluginListController* controller, QWidget* owner)
    : QObject(owner), m_controller(controller), m_mode(ToolbarModeStore::shared().displayMode())
{
    // Title: logo and name, with the web address under it in the icon-and-label mode.
    auto* stack = new QWidget;
    auto* stackLayout = new QVBoxLayout(stack);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    stackLayout->setSpacing(6);
    auto* brand = new QHBoxLayout;
    brand->setSpacing(7);
    brand->addWidget(new AppLogo(19, stack));
    auto* name = new QLabel(QStringLiteral("Loomwork"), stack);
    name->setFont(Theme::pageTitleFont());
    brand->addWidget(name);
    stackLayout->addLayout(brand);
    m_titleAddress = new QLabel(ServerConfig::webHost(), stack);
    m_titleAddress->setTextFormat(Qt::PlainText);
    m_titleAddress->setFont(Theme::captionFont());
    m_titleAddress->setContentsMargins(26, 0, 0, 0);
    stackLayout->addWidget(m_titleAddress);
    m_title = new OffsetItem(stack, QMargins(7, 0, 8, 0), owner);
    m_title->setToolTip(QStringLiteral("Final Cut Pro 插件管理器 · ") + ServerConfig::webHost());

    // The drop hint.
    m_action = new OffsetItem(new HintBadge(&MarkAnimator::shared()), QMargins(8, 3, 8, 3), owner);
    m_action->setToolTip(QStringLiteral("把 .zfcp 备份文件拖进窗口即可自动安装"));

    m_install = new ListToolButton(QStringLiteral("安装"), QStringLiteral("square.and.arrow.down.fill"), owner);
    m_install->setToolTip(QStringLiteral("安装 .zfcp 插件备份"));
    m_backup = new ListToolButton(QStringLiteral("备份"), QStringLiteral("archivebox.fill"), owner);
    m_backup->setToolTip(QStringLiteral("打包备份选中的插件（右键插件行可单独快速备份）"));
    m_refresh = new ListToolButton(QStringLiteral("刷新"), QStringLiteral("arrow.clockwise"), owner);
    m_refresh->setToolTip(refreshTooltip());
    m_delete = new ListToolButton(QStringLiteral("删除"), QStringLiteral("trash.fill"), owner);
    m_delete->setToolTip(QStringLiteral("删除选中的插件"));
    m_search = new ListToolButton(QStringLiteral("搜索"), QStringLiteral("magnifyingglass"), owner);
    m_search->setToolTip(searchTooltip());

    connect(m_install, &QAbstractButton::clicked, this, &ListToolbar::installClicked);
    connect(m_backup, &QAbstractButton::clicked, this, &ListToolbar::backupClicked);
    connect(m_refresh, &QAbstractButton::clicked, this, &ListToolbar::refreshClicked);
    connect(m_delete, &QAbstractButton::clicked, this, &ListToolbar::deleteClicked);
    connect(m_search, &QAbstractButton::clicked, this, &ListToolbar::searchClicked);
    connect(controller, &PluginListController::actionStatesChanged, this, &ListToolbar::syncEnabled);
    connect(&ToolbarModeStore::shared(), &ToolbarModeStore::displayModeChanged, this, &ListToolbar::setDisplayMode);
    connect(&Appearance::instance(), &Appearance::changed, this, [this] {
        syncEnabled();
        setDisplayMode(m_mode);
    });

    for (QWidget* item : items())
        item->hide();
    syncEnabled();
    setDisplayMode(m_mode);
}

ListToolbar::~ListToolbar()
{
    // The toolbar may outlive the list: its actions own our items, take both out.
    if (m_toolbar)
        qDeleteAll(m_actions);
}

QString ListToolbar::searchTooltip()
{
    return QStringLiteral("搜索插件名称（%1）").arg(QKeySequence(QKeySequence::Find).toString(QKeySequence::NativeText));
}

QString ListToolbar::refreshTooltip()
{
    return QStringLiteral("重新扫描插件库（%1）").arg(QKeySequence(Qt::CTRL | Qt::Key_R).toString(QKeySequence::NativeText));
}

QList<QWidget*> ListToolbar::items() const
{
    return {m_title, m_action, m_install, m_backup, m_refresh, m_delete, m_search};
}

void ListToolbar::install(QToolBar* toolbar)
{
    if (m_toolbar || !toolbar)
        return;
    m_toolbar = toolbar;
    m_actions << toolbar->addWidget(m_title);
    auto* spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_actions << toolbar->addWidget(spacer);
    for (QWidget* item : {m_action, static_cast<QWidget*>(m_install), static_cast<QWidget*>(m_backup),
                          static_cast<QWidget*>(m_refresh), static_cast<QWidget*>(m_delete),
                          static_cast<QWidget*>(m_search)}) {
        QAction* action = toolbar->addWidget(item);
        m_itemActions.insert(item, action);
        m_actions << action;
    }
    syncVisibility();
    syncEnabled();
}

void ListToolbar::setLoggedIn(bool loggedIn)
{
    m_loggedIn = loggedIn;
    syncVisibility();
}

void ListToolbar::syncVisibility()
{
    if (m_toolbar) {
        for (QAction* action : std::as_const(m_actions))
            action->setVisible(m_loggedIn);
    } else {
        for (QWidget* item : items())
            item->setVisible(false);
    }
}

void ListToolbar::setSearchOpen(bool open)
{
    m_searchOpen = open;
    m_search->setTint(open ? Theme::accent() : QColor());
}

void ListToolbar::setItemEnabled(QWidget* item, bool enabled)
{
    // In a toolbar the item's action owns the enabled state and hands it to the widget.
    if (QAction* action = m_itemActions.value(item))
        action->setEnabled(enabled);
    item->setEnabled(enabled);
}

void ListToolbar::syncEnabled()
{
    m_install->setTint(Theme::accent());
    m_backup->setTint(Theme::accentDeep());
    m_delete->setTint(Theme::danger());
    setItemEnabled(m_backup, m_controller->canBackup());
    setItemEnabled(m_delete, m_controller->canDelete());
    setItemEnabled(m_refresh, m_controller->canRefresh());
    setSearchOpen(m_searchOpen);
}

void ListToolbar::setDisplayMode(ToolbarModeStore::Mode mode)
{
    m_mode = mode;
    // Only icon-and-label shows texts: label-only is drawn like icon-only, whatever the
    // platform would do with it.
    const bool labels = iconAndLabel(mode);
    for (ListToolButton* button : {m_install, m_backup, m_refresh, m_delete, m_search})
        button->setShowsLabel(labels);
    m_titleAddress->setVisible(labels);
    QPalette p = m_titleAddress->palette();
    p.setColor(QPalette::WindowText, Theme::textSecondary());
    m_titleAddress->setPalette(p);
    const int labelLine = labels ? ListToolButton::labelLineHeight() : 0;
    static_cast<OffsetItem*>(m_title)->setPlacement(labels ? kTitleOffsetWithLabels : kTitleOffset, labelLine);
    static_cast<OffsetItem*>(m_action)->setPlacement(labels ? kBadgeOffsetWithLabels : kBadgeOffset, labelLine);
}
