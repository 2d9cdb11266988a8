// Grabs the shared components in both appearances into build/screenshots for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>
#include <QSettings>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/AppAlert.h"
#include "ui/Appearance.h"
#include "ui/AppLogo.h"
#include "ui/CardSurface.h"
#include "ui/CountBadge.h"
#include "ui/Dot.h"
#include "ui/Hairline.h"
#include "ui/ScrollbarTuning.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "ui/ZfcpMark.h"
#include "library/CategoryGlyph.h"
#include "library/HintBadge.h"
#include "library/MarkAnimator.h"
#include "library/SidebarSurface.h"

namespace {

QString screenshotDir()
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    return QDir(dir).absolutePath();
}

QLabel* label(const QString& text, const QFont& font, const QColor& color = {})
{
    auto* l = new QLabel(text);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    if (color.isValid()) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, color);
        l->setPalette(p);
    }
    return l;
}

std::unique_ptr<QWidget> gallery(MarkAnimator* animator)
{
    auto window = std::make_unique<QWidget>();
    window->setAutoFillBackground(true);
    auto* outer = new QHBoxLayout(window.get());
    outer->setContentsMargins(0, 0, 0, 0);

    auto* sidebar = new SidebarSurface;
    sidebar->setFixedWidth(180);
    auto* side = new QVBoxLayout(sidebar);
    auto* brand = new QHBoxLayout;
    brand->addWidget(new AppLogo(28));
    brand->addWidget(label(QStringLiteral("Loomwork"), Theme::headingFont()));
    side->addLayout(brand);
    side->addWidget(label(QStringLiteral("插件分类"), Theme::sectionFont(), Theme::textSecondary()));
    for (ZFCPluginType type : ZFCPluginType::allCases()) {
        auto* row = new QHBoxLayout;
        row->addWidget(new CategoryGlyph(type, 15));
        row->addWidget(label(QString::fromUtf8(type.displayName().data(), int(type.displayName().size())), Theme::calloutFont()));
        row->addStretch();
        row->addWidget(new CountBadge(type == ZFCPluginType::effect ? 128 : 7, type == ZFCPluginType::effect));
        side->addLayout(row);
    }
    side->addStretch();
    outer->addWidget(sidebar);

    auto* main = new QWidget;
    auto* column = new QVBoxLayout(main);
    column->addWidget(label(QStringLiteral("插件管理 display 19"), Theme::displayFont()));
    column->addWidget(label(QStringLiteral("页面标题 pageTitle 16"), Theme::pageTitleFont()));
    column->addWidget(label(QStringLiteral("正文 body 14 — 汉化、备份、安装"), Theme::bodyFont()));
    column->addWidget(label(QStringLiteral("说明 caption 12.5"), Theme::captionFont(), Theme::textSecondary()));
    column->addWidget(new Hairline);
    auto* hintRow = new QHBoxLayout;
    hintRow->addWidget(new HintBadge(animator));
    hintRow->addWidget(new Dot);
    hintRow->addWidget(new ZfcpMark(30));
    hintRow->addStretch();
    column->addLayout(hintRow);

    auto* symbols = new QGridLayout;
    int i = 0;
    for (const auto& entry : SymbolIcon::table()) {
        auto* glyph = new QLabel;
        glyph->setPixmap(SymbolIcon::pixmap(QString::fromLatin1(entry.symbol), 17,
                                            i % 5 == 0 ? Theme::accent() : Theme::textPrimary(),
                                            window->devicePixelRatioF()));
        glyph->setToolTip(QString::fromLatin1(entry.symbol));
        symbols->addWidget(glyph, i / 17, i % 17);
        ++i;
    }
    column->addLayout(symbols);

    auto* card = new CardSurface(10);
    auto* cardLayout = new QHBoxLayout(card);
    auto* install = new QToolButton;
    install->setIcon(SymbolIcon::icon(QStringLiteral("square.and.arrow.down.fill"), Theme::accent()));
    install->setText(QStringLiteral("安装"));
    install->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    install->setIconSize(QSize(22, 22));
    cardLayout->addWidget(install);
    cardLayout->addWidget(label(QStringLiteral("卡片 CardSurface(10)"), Theme::bodyStrongFont()));
    column->addWidget(card);

    auto* list = new QScrollArea;
    auto* content = new QWidget;
    auto* rows = new QVBoxLayout(content);
    for (int r = 0; r < 40; ++r)
        rows->addWidget(label(QStringLiteral("第 %1 行插件 <b>不是粗体</b>").arg(r + 1), Theme::calloutFont()));
    list->setWidget(content);
    list->setFixedHeight(160);
    column->addWidget(list);
    outer->addWidget(main, 1);
    window->resize(820, 620);
    return window;
}

} // namespace

TEST(Screenshots, ThemeInBothAppearances)
{
    MarkAnimator animator;
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        QSettings().setValue(Appearance::settingsKey, QString::fromLatin1(mode));
        Appearance::instance().apply();
        ScrollbarTuning::install();
        auto window = gallery(&animator);
        window->show();
        QApplication::processEvents();
        const QString path = screenshotDir() + QStringLiteral("/shell-theme-%1.png").arg(QString::fromLatin1(mode));
        const QImage image = window->grab().toImage();
        EXPECT_TRUE(image.save(path)) << path.toStdString();
        EXPECT_EQ(image.size() / image.devicePixelRatio(), QSize(820, 620));

        // The hint badge popped, mid-sweep, magnified.
        HintBadge badge(&animator);
        badge.resize(badge.sizeHint());
        animator.play({});
        QTest::qWait(1000);
        const QImage still = badge.grab().toImage();
        EXPECT_TRUE(still.scaled(still.size() * 4).save(
            screenshotDir() + QStringLiteral("/shell-hintbadge-%1.png").arg(QString::fromLatin1(mode))));

        std::unique_ptr<QMessageBox> alert(AppAlert::makeAlert(
            QStringLiteral("插件库里已有同名插件"), QStringLiteral("以下插件已存在，是否覆盖？\n\nGlow、<b>Blur</b>"),
            AppAlert::Style::warning, QStringLiteral("覆盖"), QStringLiteral("取消"), nullptr));
        alert->show();
        QApplication::processEvents();
        EXPECT_TRUE(alert->grab().save(
            screenshotDir() + QStringLiteral("/shell-alert-%1.png").arg(QString::fromLatin1(mode))));
    }
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
    Appearance::instance().apply();
}
