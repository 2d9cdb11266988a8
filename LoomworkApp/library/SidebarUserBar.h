#pragma once

#include <functional>
#include <optional>

#include <QWidget>

#include "online/Member.h"

class QAbstractButton;
class UserAvatar;

// The bottom line of the sidebar: the account button (avatar and name, opens the account
// settings) and the gear button (opens the appearance settings).
class SidebarUserBar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kAvatarSize = 28;
    static constexpr int kSpacing = 9;
    static constexpr QSize kGearSize{28, 26};
    static constexpr qreal kGearRadius = 7;
    static constexpr qreal kGearSymbolSize = 14;

    SidebarUserBar(std::function<void()> onOpenAccount, std::function<void()> onOpenSettings,
                   QWidget* parent = nullptr);

    void setMember(const std::optional<Member>& member);

    QAbstractButton* accountButton() const { return m_account; }
    QAbstractButton* gearButton() const { return m_gear; }
    UserAvatar* avatar() const { return m_avatar; }
    // The name as shown (before eliding to the button's width).
    QString displayName() const;
    // The name as drawn in the present width, on one line.
    QString visibleName() const;

private:
    QAbstractButton* m_account;
    QAbstractButton* m_gear;
    UserAvatar* m_avatar;
};
