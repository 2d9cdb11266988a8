#include "library/ToolbarModeStore.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QToolBar>

ToolbarModeStore& ToolbarModeStore::shared()
{
    static ToolbarModeStore* store = new ToolbarModeStore;
    return *store;
}

ToolbarModeStore::ToolbarModeStore(QObject* parent)
    : QObject(parent), m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
}

void ToolbarModeStore::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

std::optional<ToolbarModeStore::Mode> ToolbarModeStore::decode(const QString& stored)
{
    if (stored == QLatin1String("default"))
        return Mode::systemDefault;
    if (stored == QLatin1String("iconAndLabel"))
        return Mode::iconAndLabel;
    if (stored == QLatin1String("iconOnly"))
        return Mode::iconOnly;
    if (stored == QLatin1String("labelOnly"))
        return Mode::labelOnly;
    return std::nullopt;
}

QString ToolbarModeStore::encode(Mode mode)
{
    switch (mode) {
    case Mode::systemDefault:
        return QStringLiteral("default");
    case Mode::iconAndLabel:
        return QStringLiteral("iconAndLabel");
    case Mode::iconOnly:
        return QStringLiteral("iconOnly");
    case Mode::labelOnly:
        return QStringLiteral("labelOnly");
    }
    return QStringLiteral("iconAndLabel");
}

Qt::ToolButtonStyle ToolbarModeStore::toolButtonStyle(Mode mode)
{
    switch (mode) {
    case Mode::systemDefault:
        return Qt::ToolButtonFollowStyle;
    case Mode::iconAndLabel:
        return Qt::ToolButtonTextUnderIcon;
    case Mode::iconOnly:
        return Qt::ToolButtonIconOnly;
    case Mode::labelOnly:
        return Qt::ToolButtonTextOnly;
    }
    return Qt::ToolButtonTextUnderIcon;
}

ToolbarModeStore::Mode ToolbarModeStore::fromToolButtonStyle(Qt::ToolButtonStyle style)
{
    switch (style) {
    case Qt::ToolButtonIconOnly:
        return Mode::iconOnly;
    case Qt::ToolButtonTextOnly:
        return Mode::labelOnly;
    case Qt::ToolButtonTextBesideIcon:
    case Qt::ToolButtonTextUnderIcon:
        return Mode::iconAndLabel;
    case Qt::ToolButtonFollowStyle:
        break;
    }
    return Mode::systemDefault;
}

ToolbarModeStore::Mode ToolbarModeStore::preferred() const
{
    const QVariant stored = AppSettings::value(settingsKey);
    if (!stored.isValid())
        return Mode::iconAndLabel;
    return decode(stored.toString()).value_or(Mode::iconAndLabel);
}

void ToolbarModeStore::publish(Mode mode)
{
    if (m_displayMode == mode)
        return;
    m_displayMode = mode;
    emit displayModeChanged(mode);
}

QToolBar* ToolbarModeStore::toolbar() const
{
    return m_window ? m_window->findChild<QToolBar*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void ToolbarModeStore::setWindow(QMainWindow* window)
{
    m_window = window;
    if (QToolBar* bar = toolbar())
        watch(bar);
}

void ToolbarModeStore::report(Mode mode)
{
    const Mode wanted = preferred();
    if (mode == wanted) {
        publish(mode);
        return;
    }
    const bool recent = m_contextClickAt.isValid()
                        && m_contextClickAt.msecsTo(m_clock()) < kAcceptWindowMs;
    if (m_awaitingMenuChoice && recent) {
        m_awaitingMenuChoice = false;
        publish(mode);
        AppSettings::setValue(settingsKey, encode(mode));
        return;
    }
    QTimer::singleShot(0, this, [this] { enforcePreferred(); });
}

void ToolbarModeStore::enforcePreferred()
{
    const Mode wanted = preferred();
    if (QToolBar* bar = toolbar()) {
        const Qt::ToolButtonStyle style = toolButtonStyle(wanted);
        if (bar->toolButtonStyle() != style)
            bar->setToolButtonStyle(style);
    }
    publish(wanted);
}

void ToolbarModeStore::installClickMonitorIfNeeded()
{
    if (m_clickMonitor || !qApp)
        return;
    qApp->installEventFilter(this);
    m_clickMonitor = true;
}

void ToolbarModeStore::watch(QToolBar* bar)
{
    connect(bar, &QToolBar::toolButtonStyleChanged, this,
            &ToolbarModeStore::onToolButtonStyleChanged, Qt::UniqueConnection);
}

void ToolbarModeStore::onToolButtonStyleChanged(Qt::ToolButtonStyle style)
{
    report(fromToolButtonStyle(style));
}

void ToolbarModeStore::installModeMenu(QToolBar* bar)
{
    bar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(bar, &QWidget::customContextMenuRequested, bar, [bar](const QPoint& at) {
        QMenu menu(bar);
        const std::pair<Mode, QString> entries[] = {
            {Mode::iconAndLabel, QStringLiteral("图标和文本")},
            {Mode::iconOnly, QStringLiteral("仅图标")},
            {Mode::labelOnly, QStringLiteral("仅文本")},
        };
        const Mode current = fromToolButtonStyle(bar->toolButtonStyle());
        for (const auto& [mode, text] : entries) {
            QAction* action = menu.addAction(text);
            action->setCheckable(true);
            action->setChecked(mode == current);
            QObject::connect(action, &QAction::triggered, bar,
                             [bar, m = mode] { bar->setToolButtonStyle(toolButtonStyle(m)); });
        }
        menu.exec(bar->mapToGlobal(at));
    });
}

bool ToolbarModeStore::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
            m_contextClickAt = m_clock();
            m_awaitingMenuChoice = true;
        }
    }
    return QObject::eventFilter(watched, event);
}
