#include "market/MarketWindowController.h"

#include <QApplication>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include "engine/core/NotificationHub.h"
#include "online/LoginService.h"
#include "ui/AppWindows.h"
#include "ui/DialogPlacement.h"
#include "ui/DialogWindow.h"
#include "ui/WindowChrome.h"
#include "market/MarketWindowModel.h"
#include "market/MarketWindowView.h"

MarketWindowController::MarketWindowController(QObject* parent) : QObject(parent) {}

MarketWindowController::~MarketWindowController()
{
    delete m_window.data();
}

MarketWindowController& MarketWindowController::shared()
{
    // Lives as long as the process: deleting its window while the application object is being
    // torn down would touch a half-destroyed GUI.
    static auto* controller = new MarketWindowController;
    return *controller;
}

void MarketWindowController::show(LoginService* login)
{
    if (!m_window)
        makeWindow(login);
    if (!m_window)
        return;
    if (!m_placed) {
        place();
        m_placed = true;
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    NotificationHub::instance().post(Notifications::marketShouldRefresh);
}

void MarketWindowController::makeWindow(LoginService* login)
{
    auto* window = new DialogWindow;
    window->setObjectName(identifier);
    window->setWindowTitle(QStringLiteral("插件市场"));
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint
                           | Qt::WindowMaximizeButtonHint);
    WindowChrome::apply(window, identifier, false);
    m_view = new MarketWindowView(login, window);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    window->resize(kContentWidth, kContentHeight);
    window->setMinimumSize(kMinimumWidth, kMinimumHeight);

    QPointer<MarketWindowController> self(this);
    window->cancelHandler = [self] {
        if (!self)
            return false;
        if (self->m_detailOpen) {
            NotificationHub::instance().post(Notifications::marketDetailClose);
            return true; // the key press is used up; the window stays
        }
        return false;
    };
    // Ctrl+W is the title bar's close: it hides the window, panel and all.
    auto* closeShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), window);
    connect(closeShortcut, &QShortcut::activated, window, &QWidget::close);

    MarketWindowModel* model = m_view->model();
    connect(model, &MarketWindowModel::detailChanged, this,
            [this, model] { m_detailOpen = model->detailPlugin().has_value(); });
    if (login) {
        connect(login, &LoginService::phaseChanged, this, [this, login, model] {
            if (login->phase().kind != LoginService::Phase::Kind::loggedOut)
                return;
            model->signedOut();
            if (m_window)
                m_window->hide();
        });
    }
    m_window = window;
}

void MarketWindowController::place()
{
    const AppWindows windows = AppWindows::snapshot();
    QList<DialogPlacement::WindowFacts> facts = windows.facts;
    // The market window itself is never its own host.
    if (const std::optional<int> self = windows.indexOf(m_window))
        facts[*self].visible = false;
    const std::optional<int> host = DialogPlacement::alertHost(facts, std::nullopt, std::nullopt);
    const QSize size = m_window->frameGeometry().size();
    if (QWidget* hostWidget = windows.at(host)) {
        QScreen* screen = hostWidget->screen() ? hostWidget->screen() : QGuiApplication::primaryScreen();
        const std::optional<QRect> available = screen ? std::optional<QRect>(screen->availableGeometry()) : std::nullopt;
        m_window->move(DialogPlacement::placedOrigin(size, hostWidget->frameGeometry(), available));
        return;
    }
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        m_window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    }
}
