#include "account/AboutPane.h"

#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "online/AppVersion.h"
#include "online/SafeLink.h"
#include "ui/AppLogo.h"
#include "ui/SoftShadow.h"
#include "ui/Theme.h"
#include "account/SettingsPieces.h"
#include "account/UpdateCheckModel.h"

using SettingsPieces::ToneLabel;

namespace {

constexpr int kVerticalPadding = 18;
constexpr qreal kShadowOpacity = 0.12;
constexpr qreal kShadowRadius = 7;
constexpr qreal kShadowOffset = 4;

} // namespace

void AboutPane::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    SoftShadow::paintUnder(p, *m_logo, kShadowRadius, kShadowOffset, kShadowOpacity);
}

QString AboutPane::toolsPageLabel()
{
    QString label = AppVersion::toolsPageUrl();
    label.remove(QRegularExpression(QStringLiteral("^https://")));
    return label;
}

AboutPane::AboutPane(QWidget* parent)
    : QWidget(parent)
    , m_check(new UpdateCheckModel(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, kVerticalPadding, 0, kVerticalPadding);
    column->setSpacing(0);
    column->addStretch(1);

    m_logo = new AppLogo(kLogo);
    column->addWidget(m_logo, 0, Qt::AlignHCenter);
    column->addSpacing(10);
    column->addWidget(new ToneLabel(QStringLiteral("Loomwork"), &Theme::displayFont, &Theme::textPrimary), 0, Qt::AlignHCenter);
    column->addSpacing(2);
    column->addWidget(new ToneLabel(QStringLiteral("版本 ") + AppVersion::display(), &Theme::bodyFont, &Theme::textSecondary), 0,
                      Qt::AlignHCenter);
    column->addSpacing(6);
    column->addWidget(new ToneLabel(QStringLiteral("Final Cut Pro 插件管理：安装 · 删除 · 备份 · 版本升降 · 汉化"),
                                    &Theme::captionFont, &Theme::textSecondary),
                      0, Qt::AlignHCenter);
    column->addSpacing(10);

    m_checkButton = new SettingsPieces::TintedButton(QStringLiteral("检查更新"), &Theme::accent);
    m_checkButton->setFont(Theme::captionFont());
    column->addWidget(m_checkButton, 0, Qt::AlignHCenter);
    column->addSpacing(6);
    auto* hint = new ToneLabel(QString(), &Theme::tinyFont, &Theme::textSecondary);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignHCenter);
    hint->hide();
    m_hint = hint;
    column->addWidget(m_hint);
    column->addSpacing(8);

    m_link = new SettingsPieces::TintedButton(toolsPageLabel(), &Theme::accent);
    m_link->setFlat(true);
    m_link->setFont(Theme::captionFont());
    m_link->setCursor(Qt::PointingHandCursor);
    noFocusRing(m_link);
    column->addWidget(m_link, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_checkButton, &QPushButton::clicked, m_check, &UpdateCheckModel::check);
    connect(m_link, &QPushButton::clicked, this, [] { SafeLink::open(SafeLink::url(AppVersion::toolsPageUrl())); });
    connect(m_check, &UpdateCheckModel::hintChanged, this, &AboutPane::syncHint);
    connect(m_check, &UpdateCheckModel::checkingChanged, m_checkButton, [this](bool checking) {
        m_checkButton->setEnabled(!checking);
    });
    connect(m_check, &UpdateCheckModel::updateOffered, this, &AboutPane::updateOffered);
}

void AboutPane::syncHint()
{
    m_hint->setText(m_check->hint().value_or(QString()));
    m_hint->setVisible(m_check->hint().has_value());
}
