#include "account/AccountPane.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "online/LoginService.h"
#include "ui/CardSurface.h"
#include "ui/Theme.h"
#include "ui/UserAvatar.h"
#include "account/AccountText.h"
#include "account/NicknameSheet.h"
#include "account/SettingsPieces.h"

using SettingsPieces::ToneLabel;

namespace {

constexpr qreal kCardRadius = 10;
constexpr int kCardPadding = 13;
constexpr int kAvatar = 42;
constexpr qreal kIdPoints = 11.5;

QFont idFont()
{
    QFont font = Theme::font(kIdPoints);
    font.setStyleHint(QFont::Monospace);
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace"), Theme::cjkFamily});
    return font;
}

} // namespace

AccountPane::AccountPane(LoginService* login, std::function<void()> closeWindow, QWidget* parent)
    : QWidget(parent)
    , m_login(login)
    , m_closeWindow(std::move(closeWindow))
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll);

    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(content);
    SettingsPieces::applyPaneMargins(column);
    column->setSpacing(14);
    column->addWidget(SettingsPieces::paneHeader(
        QStringLiteral("账户"),
        QStringLiteral("登录账号即你的微信账号；在另一台电脑上扫码即可在那里登录。每次登录有效 3 天，到期后重新扫码即可。")));

    auto* card = new CardSurface(kCardRadius);
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(kCardPadding, kCardPadding, kCardPadding, kCardPadding);
    row->setSpacing(12);
    m_avatar = new UserAvatar(std::nullopt, std::nullopt, kAvatar);
    row->addWidget(m_avatar, 0, Qt::AlignVCenter);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    m_name = new ToneLabel(QString(), &Theme::bodyStrongFont, &Theme::textPrimary);
    m_id = new ToneLabel(QString(), &idFont, &Theme::textSecondary);
    m_expiry = new ToneLabel(QString(), &Theme::captionFont, &Theme::textSecondary);
    lines->addWidget(m_name);
    lines->addWidget(m_id);
    lines->addWidget(m_expiry);
    row->addLayout(lines, 1);
    m_nicknameButton = new QPushButton(QStringLiteral("修改昵称"));
    m_nicknameButton->setFont(Theme::captionFont());
    m_nicknameButton->setAutoDefault(false);
    row->addWidget(m_nicknameButton, 0, Qt::AlignVCenter);
    column->addWidget(card);

    auto* actions = new QHBoxLayout;
    actions->addStretch(1);
    // The destructive role: red text.
    m_signOut = new SettingsPieces::TintedButton(QStringLiteral("退出登录"), &Theme::danger);
    m_signOut->setFont(Theme::calloutFont());
    actions->addWidget(m_signOut);
    column->addLayout(actions);
    column->addStretch(1);
    scroll->setWidget(content);

    connect(m_nicknameButton, &QPushButton::clicked, this, &AccountPane::showNicknameSheet);
    connect(m_signOut, &QPushButton::clicked, this, &AccountPane::signOut);
    if (m_login) {
        connect(m_login, &LoginService::phaseChanged, this, &AccountPane::sync);
        connect(m_login, &LoginService::expireAtChanged, this, &AccountPane::sync);
    }
    sync();
}

void AccountPane::sync()
{
    const LoginService::Phase phase = m_login ? m_login->phase() : LoginService::Phase::loggedOut();
    const bool signedIn = phase.isLoggedIn();
    m_name->setText(AccountText::displayName(phase));
    if (signedIn)
        m_avatar->setMember(phase.member.nickName, phase.member.avatarUrl);
    else
        m_avatar->setMember(std::nullopt, std::nullopt);
    m_id->setVisible(signedIn);
    if (signedIn)
        m_id->setText(AccountText::idLine(phase.member.memberKey));
    const auto expiry = m_login ? AccountText::expiryLine(m_login->expireAt()) : std::nullopt;
    m_expiry->setVisible(expiry.has_value());
    m_expiry->setText(expiry.value_or(QString()));
    m_nicknameButton->setEnabled(signedIn);
}

void AccountPane::showNicknameSheet()
{
    if (m_sheet || !m_login || !m_login->phase().isLoggedIn())
        return;
    m_sheet = new NicknameSheet(m_login, window());
    m_sheet->open();
}

void AccountPane::signOut()
{
    if (m_closeWindow)
        m_closeWindow();
    if (m_login)
        m_login->forceLogout(QString::fromUtf8(LoginService::loggedOutText));
}
