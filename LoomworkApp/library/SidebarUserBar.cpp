#include "library/SidebarUserBar.h"

#include "ui/BaseButton.h"
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/UserAvatar.h"
#include "library/SidebarModel.h"

namespace {

// Avatar, then the name on one line; the whole rectangle is the button.
class AccountButton final : public BaseButton
{
public:
    explicit AccountButton(QWidget* parent) : BaseButton(parent)
    {
        noFocusRing(this);
        setToolTip(QStringLiteral("打开账户设置"));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setFont(Theme::bodyStrongFont());
        m_avatar = new UserAvatar(std::nullopt, std::nullopt, SidebarUserBar::kAvatarSize, this);
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(SidebarUserBar::kSpacing);
        layout->addWidget(m_avatar, 0, Qt::AlignVCenter);
        layout->addStretch(1);
    }

    UserAvatar* avatar() const { return m_avatar; }

    // Kept apart from QAbstractButton's text, which would turn an "&" into a shortcut.
    const QString& name() const { return m_name; }
    void setName(const QString& name)
    {
        m_name = name;
        setAccessibleName(name);
        updateGeometry();
        update();
    }

    QRectF nameRect() const
    {
        const qreal left = m_avatar->geometry().right() + 1 + SidebarUserBar::kSpacing;
        // The spacer after the name keeps at least 4 points.
        return QRectF(left, 0, std::max<qreal>(0, width() - left - 4), height());
    }

    QString visibleName() const
    {
        return fontMetrics().elidedText(m_name, Qt::ElideRight, int(nameRect().width()));
    }

    QSize sizeHint() const override
    {
        const int name = fontMetrics().horizontalAdvance(m_name);
        return {SidebarUserBar::kAvatarSize + SidebarUserBar::kSpacing + name + 4,
                std::max(SidebarUserBar::kAvatarSize, fontMetrics().height())};
    }

    QSize minimumSizeHint() const override
    {
        return {SidebarUserBar::kAvatarSize + SidebarUserBar::kSpacing + 4, sizeHint().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setFont(font());
        p.setPen(Theme::textPrimary());
        // Plain drawing: the name is never read as markup.
        p.drawText(nameRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, visibleName());
    }

private:
    UserAvatar* m_avatar;
    QString m_name;
};

class GearButton final : public BaseButton
{
public:
    explicit GearButton(QWidget* parent) : BaseButton(parent)
    {
        noFocusRing(this);
        setToolTip(QStringLiteral("外观设置"));
        setFixedSize(SidebarUserBar::kGearSize);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), SidebarUserBar::kGearRadius, SidebarUserBar::kGearRadius);
        p.fillPath(shape, Theme::capsuleBg());
        SymbolIcon::paint(p, QRectF(rect()), u"gearshape.fill", Theme::textSecondary(),
                          SidebarUserBar::kGearSymbolSize);
    }
};

} // namespace

SidebarUserBar::SidebarUserBar(std::function<void()> onOpenAccount,
                               std::function<void()> onOpenSettings, QWidget* parent)
    : QWidget(parent)
{
    auto* account = new AccountButton(this);
    m_account = account;
    m_avatar = account->avatar();
    m_gear = new GearButton(this);

    // 10 by 6 around the buttons, then 6 at the sides, 7 above and 3 below.
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 13, 16, 9);
    layout->setSpacing(kSpacing);
    layout->addWidget(m_account, 1, Qt::AlignVCenter);
    layout->addWidget(m_gear, 0, Qt::AlignVCenter);

    connect(m_account, &QAbstractButton::clicked, this, [onOpenAccount] {
        if (onOpenAccount)
            onOpenAccount();
    });
    connect(m_gear, &QAbstractButton::clicked, this, [onOpenSettings] {
        if (onOpenSettings)
            onOpenSettings();
    });
    setMember(std::nullopt);
}

void SidebarUserBar::setMember(const std::optional<Member>& member)
{
    static_cast<AccountButton*>(m_account)->setName(SidebarModel::displayName(member));
    m_avatar->setMember(member ? member->nickName : std::nullopt,
                        member ? member->avatarUrl : std::nullopt);
}

QString SidebarUserBar::displayName() const
{
    return static_cast<const AccountButton*>(m_account)->name();
}

QString SidebarUserBar::visibleName() const
{
    return static_cast<const AccountButton*>(m_account)->visibleName();
}
