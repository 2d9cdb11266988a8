#pragma once

#include <optional>

#include <QObject>
#include <QPointer>

#include "engine/library/AppState.h"
#include "online/LoginService.h"
#include "ui/DialogWindow.h"
#include "account/SettingsModel.h"
#include "account/SettingsTab.h"
#include "account/SettingsView.h"

class RemoteConfigService;
struct UpdateAlert;


// Owns the application's one settings window: built on first use around the settings
// content, opened on a requested tab over the main window, and kept when closed (closing
// only hides it) so that the tab and the panes' state survive. The window closes itself
// when the user is no longer signed in. A newer version the About pane finds is handed on
// by updateOffered(), for the application to present. GUI thread only.
class SettingsWindowController : public QObject
{
    Q_OBJECT
public:
    static constexpr int kWidth = 620;
    static constexpr int kHeight = 492;
    static inline const QString kIdentifier = QStringLiteral("loomwork.settings.window");

    static SettingsWindowController& shared();

    // Shows the window for `state` and `login`, on `tab` when one is given, else on the tab
    // last shown; brings it forward and places it over the main window.
    void show(AppState* state, LoginService* login, std::optional<SettingsTab> tab);

    DialogWindow* window() const { return m_window; }
    SettingsModel* model() const { return m_model; }
    SettingsView* view() const { return m_view; }

signals:
    // The About pane's check found `alert`, offered by `service`; `host` is this window.
    void updateOffered(const UpdateAlert& alert, RemoteConfigService* service, QWidget* host);

private:
    SettingsWindowController() = default;
    void makeWindow(AppState* state, LoginService* login);
    void discardWindow();

    QPointer<DialogWindow> m_window;
    QPointer<SettingsModel> m_model;
    QPointer<SettingsView> m_view;
    QPointer<AppState> m_state;
    QPointer<LoginService> m_login;
};
