#pragma once

#include <QObject>
#include <QPointer>

#include "ui/DialogWindow.h"

class LoginService;
class MarketWindowView;

// Owns the one market window: built on the first show() around a MarketWindowView, kept for
// the life of the application (closing only hides it, so its state survives), raised and
// refreshed on every show(), placed over the main window the first time only. Esc while the
// detail panel is open closes the panel instead; a close (title bar, Ctrl+W) hides the window
// with the panel still open. Signing out hides the window.
class MarketWindowController : public QObject
{
    Q_OBJECT
public:
    static constexpr int kContentWidth = 1160;
    static constexpr int kContentHeight = 872;
    static constexpr int kMinimumWidth = 1020;
    static constexpr int kMinimumHeight = 812;
    static inline const QString identifier = QStringLiteral("loomwork.market.window");

    explicit MarketWindowController(QObject* parent = nullptr);
    ~MarketWindowController() override;

    // The application's controller.
    static MarketWindowController& shared();

    // Shows the window; `login` is used only when the window is first built.
    void show(LoginService* login);

    DialogWindow* window() const { return m_window; }
    MarketWindowView* view() const { return m_view; }
    bool detailOpen() const { return m_detailOpen; }

private:
    void makeWindow(LoginService* login);
    void place();

    QPointer<DialogWindow> m_window;
    MarketWindowView* m_view = nullptr;
    bool m_placed = false;
    bool m_detailOpen = false;
};
