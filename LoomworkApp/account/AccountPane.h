#pragma once

#include <functional>

#include <QPointer>
#include <QWidget>

#include "online/LoginService.h"
#include "account/NicknameSheet.h"

class QLabel;
class QPushButton;
class UserAvatar;

// The settings pane of the signed-in user: avatar, name, shortened ID and the login's
// expiry, "修改昵称" (the nickname sheet) and "退出登录". It shows the login service's
// current phase, so it never shows a member once the session has ended.
class AccountPane : public QWidget
{
    Q_OBJECT
public:
    // `closeWindow` closes the settings window before the sign-out.
    AccountPane(LoginService* login, std::function<void()> closeWindow, QWidget* parent = nullptr);

    QLabel* nameLabel() const { return m_name; }
    QLabel* idLabel() const { return m_id; }
    QPushButton* nicknameButton() const { return m_nicknameButton; }
    QPushButton* signOutButton() const { return m_signOut; }
    // The open nickname sheet, or null.
    NicknameSheet* nicknameSheet() const { return m_sheet; }

    void showNicknameSheet();
    void signOut();

private:
    void sync();

    QPointer<LoginService> m_login;
    std::function<void()> m_closeWindow;
    UserAvatar* m_avatar = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_id = nullptr;
    QLabel* m_expiry = nullptr;
    QPushButton* m_nicknameButton = nullptr;
    QPushButton* m_signOut = nullptr;
    QPointer<NicknameSheet> m_sheet;
};
