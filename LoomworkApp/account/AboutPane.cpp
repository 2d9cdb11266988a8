#include "account/AboutPane.h"

#include <QGraphicsDropShadowEffect>
#include <QPushButton>
#include <QVBoxLayout>

#include "account/LoginGateView.h"
#include "account/SettingsPieces.h"
#include "account/UpdateCheckModel.h"
#include "online/AppVersion.h"
#include "online/SafeLink.h"
#include "shell/AppLogo.h"
#include "shell/EmptyStateView.h"
#include "shell/F.h"
#include "shell/Palette.h"
#include "shell/Surface.h"
#include "shell/Tint.h"

using SettingsPieces::ToneLabel;

namespace {

constexpr int kVerticalPadding = 18;
constexpr qreal kShadowOpacity = 0.12;
constexpr int kShadowRadius = 14;
constexpr int kShadowOffset = 4;
constexpr const char* kToolsPath = "/ruded";

AboutPane::UpdatePresenter& updatePresenter()
{
    static AboutPane::UpdatePresenter presenter;
    return presenter;
}

} // namespace

void AboutPane::setUpdatePresenter(UpdatePresenter presenter)
{
    updatePresenter() = std::move(presenter);
}

QUrl AboutPane::toolsPageUrl()
{
    return QUrl(QStringLiteral("https://") + toolsPageLabel());
}

QString AboutPane::toolsPageLabel()
{
    return LoginGateView::helpHost() + QString::fromLatin1(kToolsPath);
}

AboutPane::AboutPane(QWidget* parent)
    : QWidget(parent)
    , m_check(new UpdateCheckModel(this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, kVerticalPadding, 0, kVerticalPadding);
    column->setSpacing(0);
    column->addStretch(1);

    auto* logo = new AppLogo(kLogo);
    auto* shadow = new QGraphicsDropShadowEffect(logo);
    shadow->setColor(Tint::black(kShadowOpacity));
    shadow->setBlurRadius(kShadowRadius);
    shadow->setOffset(0, kShadowOffset);
    logo->setGraphicsEffect(shadow);
    column->addWidget(logo, 0, Qt::AlignHCenter);
    column->addSpacing(10);
    column->addWidget(new ToneLabel(QStringLiteral("Loomwork"), &F::display, &Palette::primary), 0, Qt::AlignHCenter);
    column->addSpacing(2);
    column->addWidget(new ToneLabel(QStringLiteral("版本 ") + AppVersion::display(), &F::body, &Palette::secondary), 0,
                      Qt::AlignHCenter);
    column->addSpacing(6);
    column->addWidget(new ToneLabel(QStringLiteral("Final Cut Pro 插件管理：安装 · 删除 · 备份 · 版本升降 · 汉化"),
                                    &F::caption, &Palette::secondary),
                      0, Qt::AlignHCenter);
    column->addSpacing(10);

    m_checkButton = new QPushButton(QStringLiteral("检查更新"));
    m_checkButton->setFont(F::caption());
    m_checkButton->setAutoDefault(false);
    {
        QPalette p = m_checkButton->palette();
        p.setColor(QPalette::ButtonText, Palette::brand());
        m_checkButton->setPalette(p);
    }
    column->addWidget(m_checkButton, 0, Qt::AlignHCenter);
    column->addSpacing(6);
    auto* hint = new ToneLabel(QString(), &F::tiny, &Palette::secondary);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignHCenter);
    hint->hide();
    m_hint = hint;
    column->addWidget(m_hint);
    column->addSpacing(8);

    m_link = new QPushButton(toolsPageLabel());
    m_link->setFlat(true);
    m_link->setFont(F::caption());
    m_link->setCursor(Qt::PointingHandCursor);
    m_link->setAutoDefault(false);
    noFocusRing(m_link);
    {
        QPalette p = m_link->palette();
        p.setColor(QPalette::ButtonText, Palette::brand());
        m_link->setPalette(p);
    }
    column->addWidget(m_link, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_checkButton, &QPushButton::clicked, m_check, &UpdateCheckModel::check);
    connect(m_link, &QPushButton::clicked, this, [] { SafeLink::open(toolsPageUrl()); });
    connect(m_check, &UpdateCheckModel::hintChanged, this, &AboutPane::syncHint);
    connect(m_check, &UpdateCheckModel::updateOffered, this, &AboutPane::presentUpdate);
}

void AboutPane::syncHint()
{
    m_hint->setText(m_check->hint().value_or(QString()));
    m_hint->setVisible(m_check->hint().has_value());
}

void AboutPane::presentUpdate(const UpdateAlert& alert)
{
    const UpdatePresenter& presenter = updatePresenter();
    // The application installs the presenter at start-up.
    if (!presenter)
        return;
    QPointer<UpdateCheckModel> check(m_check);
    presenter(
        window(), alert,
        [check, alert] {
            if (check)
                check->snooze(alert);
        },
        [check] {
            if (check)
                check->dismiss();
        });
}
