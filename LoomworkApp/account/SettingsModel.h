#pragma once

#include <QObject>
#include <QPointer>

#include "account/SettingsTab.h"

class LoginService;

// The settings window's selected tab, set by the window controller before it shows the
// window and by the tab bar. It also watches the login: when the user stops being signed
// in (sign-out, expiry, a logout elsewhere) it asks for the window to close.
class SettingsModel : public QObject
{
    Q_OBJECT
public:
    explicit SettingsModel(LoginService* login, QObject* parent = nullptr);

    SettingsTab tab() const { return m_tab; }
    // Publishes only a real change.
    void setTab(SettingsTab tab);


signals:
    void tabChanged(SettingsTab tab);
    void closeRequested();

private:
    void onPhaseChanged();

    QPointer<LoginService> m_login;
    SettingsTab m_tab = SettingsTab::appearance;
    bool m_signedIn = false;
};
