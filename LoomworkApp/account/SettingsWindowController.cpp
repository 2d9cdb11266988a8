#include "account/SettingsWindowController.h"

#include <QApplication>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/DialogWindow.h"
#include "ui/DialogWindowController.h"
#include "ui/WindowChrome.h"
#include "account/AboutPane.h"
#include "account/SettingsModel.h"
#include "account/SettingsView.h"
#include "account/UpdateCheckModel.h"

SettingsWindowController& SettingsWindowController::shared()
{
    static auto* controller = new SettingsWindowController;
    return *controller;
}

void SettingsWindowController::show(AppState* state, LoginService* login, std::optional<SettingsTab> tab)
{
    // A window built for a state or login that has since gone cannot be reused.
    if (m_window && (m_state != state || m_login != login))
        discardWindow();
    if (!m_window)
        makeWindow(state, login);
    if (!m_window)
        return;
    if (tab)
        m_model->setTab(*tab);

    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    DialogWindowController::place(m_window);
    // The window opens with nothing focused.
    QTimer::singleShot(0, m_window, [window = m_window] {
        if (QWidget* focus = window->focusWidget())
            focus->clearFocus();
    });
}

void SettingsWindowController::makeWindow(AppState* state, LoginService* login)
{
    m_state = state;
    m_login = login;
    auto* window = new DialogWindow;
    window->setObjectName(kIdentifier);
    window->setWindowTitle(QStringLiteral("设置"));
    // Only the close button: no minimise or maximise.
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    m_model = new SettingsModel(login, window);
    m_view = new SettingsView(m_model, state, login, window);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    WindowChrome::apply(window, kIdentifier, false);
    window->setFixedSize(kWidth, kHeight);
    connect(m_model, &SettingsModel::closeRequested, window, &QWidget::close);
    AboutPane* about = m_view->aboutPane();
    connect(about, &AboutPane::updateOffered, window, [this, about, window](const UpdateAlert& alert) {
        emit updateOffered(alert, about->updateCheck()->remote(), window);
    });
    // The window belongs to these objects; it goes with either of them.
    for (QObject* owner : {static_cast<QObject*>(state), static_cast<QObject*>(login)}) {
        if (owner)
            connect(owner, &QObject::destroyed, window, [this] { discardWindow(); });
    }
    m_window = window;
}

void SettingsWindowController::discardWindow()
{
    if (m_window) {
        m_window->hide();
        m_window->deleteLater();
    }
    m_window = nullptr;
    m_model = nullptr;
    m_view = nullptr;
}
