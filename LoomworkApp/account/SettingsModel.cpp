#include "account/SettingsModel.h"

#include "online/LoginService.h"

SettingsModel::SettingsModel(LoginService* login, QObject* parent)
    : QObject(parent)
    , m_login(login)
{
    if (m_login) {
        m_signedIn = m_login->phase().isLoggedIn();
        connect(m_login, &LoginService::phaseChanged, this, &SettingsModel::onPhaseChanged);
    }
}

void SettingsModel::setTab(SettingsTab tab)
{
    if (m_tab == tab)
        return;
    m_tab = tab;
    emit tabChanged(tab);
}

void SettingsModel::onPhaseChanged()
{
    const bool signedIn = m_login && m_login->phase().isLoggedIn();
    const bool ended = m_signedIn && !signedIn;
    m_signedIn = signedIn;
    if (ended)
        emit closeRequested();
}
