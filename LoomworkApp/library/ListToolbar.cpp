#include "library/ListToolbar.h"

#include <QAction>
#include <QEnterEvent>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QToolBar>
#include <QVBoxLayout>

#include "BuildInfo.h"
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

bool iconAndLabel(ToolbarModeStore::Mode mode)
{
    return mode == ToolbarModeStore::Mode::iconAndLabel;
}

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

QSize ListToolButton::sizeHint() const
{
    if (!m_showsLabel)
        return {30, 28};
    const QFontMetrics fm(Theme::captionFont());
    return {std::max(fm.horizontalAdvance(text()), 22) + 14, int(kIconSize) + kIconLabelGap + fm.height() + 8};
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
    m_title = new QWidget(owner);
    m_title->setToolTip(QStringLiteral("Final Cut Pro 插件管理器 · ") + webAddress());
    m_titleLayout = new QVBoxLayout(m_title);
    m_titleLayout->setSpacing(6);
    auto* brand = new QHBoxLayout;
    brand->setSpacing(7);
    brand->addWidget(new AppLogo(19, m_title));
    auto* name = new QLabel(QStringLiteral("Loomwork"), m_title);
    name->setFont(Theme::pageTitleFont());
    brand->addWidget(name);
    brand->addStretch(1);
    m_titleLayout->addLayout(brand);
    m_titleAddress = new QLabel(webAddress(), m_title);
    m_titleAddress->setTextFormat(Qt::PlainText);
    m_titleAddress->setFont(Theme::captionFont());
    m_titleAddress->setContentsMargins(26, 0, 0, 0);
    m_titleLayout->addWidget(m_titleAddress);
    m_titleLayout->addStretch(1);

    // The drop hint.
    m_action = new QWidget(owner);
    m_action->setToolTip(QStringLiteral("把 .zfcp 备份文件拖进窗口即可自动安装"));
    auto* hint = new QHBoxLayout(m_action);
    hint->addWidget(new HintBadge(&MarkAnimator::shared(), m_action));

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

QString ListToolbar::webAddress()
{
    const QString host = QString::fromUtf8(BuildInfo::webHost);
    return host.isEmpty() ? QStringLiteral("loomwork.example") : host;
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
    // Title moved down 13 (1 otherwise), the badge 5 (4 otherwise).
    m_titleLayout->setContentsMargins(7, labels ? 13 : 1, 8, 0);
    m_action->layout()->setContentsMargins(8, 3 + (labels ? 5 : 4), 8, 3);
}
