#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QHelpEvent>
#include <QScrollArea>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QVBoxLayout>

#include "engine/library/AppState.h"
#include "engine/market/MarketInstallRegistry.h"
#include "ui/Appearance.h"
#include "ui/CountBadge.h"
#include "ui/SafeText.h"
#include "ui/Theme.h"
#include "ui/UserAvatar.h"
#include "library/SidebarRow.h"
#include "library/SidebarUserBar.h"
#include "library/SidebarView.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/SidebarFixtures.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

using ListFixtures::scan;
using ListFixtures::setAppearance;
using SidebarFixtures::makeLibraries;

namespace {

using RowId = SidebarModel::RowId;

Member member(const QString& nick, const std::optional<QString>& avatarUrl = std::nullopt)
{
    Member m;
    m.memberKey = QStringLiteral("k1");
    m.nickName = nick;
    m.avatarUrl = avatarUrl;
    return m;
}

// True when some pixel the widget paints is close to `color`.
bool paintsColour(QWidget* widget, const QColor& color)
{
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && std::abs(c.red() - color.red()) < 10
                && std::abs(c.green() - color.green()) < 10 && std::abs(c.blue() - color.blue()) < 10)
                return true;
        }
    return false;
}

QString screenshotDir()
{
    const QString dir = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../screenshots"));
    QDir().mkpath(dir);
    return QDir::cleanPath(dir);
}

class SidebarViewTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        Appearance::install(*qApp);
    }

    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
        setAppearance("light");
    }

    void TearDown() override { setAppearance("light"); }

    SidebarView::Callbacks recordingCallbacks()
    {
        return {[this] { calls << QStringLiteral("settings"); },
                [this] { calls << QStringLiteral("account"); },
                [this] { calls << QStringLiteral("market"); },
                [this](qreal y) { dividerReports << y; }};
    }

    QStringList calls;
    QList<qreal> dividerReports;
};

} // namespace

TEST_F(SidebarViewTest, ClickedRowsSetTheFiltersAndDrawTheirSelection)
{
    makeLibraries();
    AppState state;
    scan(state);
    SidebarView sidebar(&state, recordingCallbacks());
    sidebar.resize(256, 720);
    sidebar.show();

    struct Step {
        const char* label;
        RowId click;
        RowId library;
        RowId category;
        int allCount;
    };
    const Step steps[] = {
        {"system library", RowId::systemLibrary, RowId::systemLibrary, RowId::allCategories, 4},
        {"subtitle", RowId::subtitle, RowId::systemLibrary, RowId::subtitle, 4},
        {"market keeps both", RowId::market, RowId::systemLibrary, RowId::subtitle, 4},
        {"user library", RowId::userLibrary, RowId::userLibrary, RowId::subtitle, 3},
        {"all plug-ins", RowId::allPlugins, RowId::allPlugins, RowId::subtitle, 7},
        {"all categories", RowId::allCategories, RowId::allPlugins, RowId::allCategories, 7},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        QTest::mouseClick(sidebar.row(step.click), Qt::LeftButton);
        for (RowId id : {RowId::allPlugins, RowId::userLibrary, RowId::systemLibrary, RowId::localized,
                         RowId::market, RowId::allCategories, RowId::effect, RowId::subtitle,
                         RowId::generator, RowId::transitions}) {
            SidebarRow* row = sidebar.row(id);
            const bool selected = id == step.library || id == step.category;
            EXPECT_EQ(row->isSelected(), selected) << int(id);
            EXPECT_EQ(row->backgroundColor(), selected ? Theme::selectionBg() : QColor(Qt::transparent)) << int(id);
            EXPECT_EQ(row->titleColor(), selected ? Theme::accent() : Theme::textPrimary()) << int(id);
            EXPECT_EQ(row->titleFont().weight(), selected ? QFont::Medium : QFont::Normal) << int(id);
        }
        ASSERT_NE(sidebar.row(RowId::allCategories)->countBadge(), nullptr);
        EXPECT_EQ(sidebar.row(RowId::allCategories)->countBadge()->count(), step.allCount);
    }
    EXPECT_EQ(calls, QStringList{QStringLiteral("market")});

    // A highlighted count is drawn in the brand colour, another in the secondary one.
    CountBadge* selectedBadge = sidebar.row(RowId::allCategories)->countBadge();
    CountBadge* plainBadge = sidebar.row(RowId::effect)->countBadge();
    EXPECT_TRUE(paintsColour(selectedBadge, Theme::accent()));
    EXPECT_FALSE(paintsColour(plainBadge, Theme::accent()));
    for (const char* mode : {"light", "dark"}) {
        setAppearance(mode);
        sidebar.grab().save(screenshotDir() + QStringLiteral("/sidebar-%1.png").arg(QString::fromLatin1(mode)));
    }
    setAppearance("light");
}

TEST_F(SidebarViewTest, HoverTintsOnlyUnselectedRows)
{
    AppState state;
    SidebarView sidebar(&state, recordingCallbacks());
    sidebar.resize(256, 720);
    sidebar.show();
    SidebarRow* user = sidebar.row(RowId::userLibrary);
    SidebarRow* all = sidebar.row(RowId::allPlugins);
    for (SidebarRow* row : {user, all}) {
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), row->mapToGlobal(QPointF(5, 5)));
        QApplication::sendEvent(row, &enter);
        EXPECT_TRUE(row->isHovered());
    }
    EXPECT_EQ(user->backgroundColor(), Theme::controlBgOver());
    EXPECT_EQ(all->backgroundColor(), Theme::selectionBg());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(user, &leave);
    EXPECT_EQ(user->backgroundColor(), QColor(Qt::transparent));
}

TEST_F(SidebarViewTest, TrailingEndShowsTheErrorTriangleOrTheCount)
{
    PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("Glow"));
    QDir(TestEnv::systemLibrary()).removeRecursively();
    AppState state;
    scan(state);
    const QString error = state.scanErrors().value(PluginRoot::system);
    ASSERT_FALSE(error.isEmpty());

    SidebarView sidebar(&state, recordingCallbacks());
    sidebar.resize(256, 720);
    sidebar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sidebar));

    SidebarRow* system = sidebar.row(RowId::systemLibrary);
    EXPECT_EQ(system->countBadge(), nullptr);
    EXPECT_FALSE(system->warningRect().isEmpty());
    EXPECT_GT(system->warningRect().left(), system->width() / 2);
    EXPECT_TRUE(paintsColour(system, Theme::warning()));

    // Hovering the triangle shows the error; the rest of the row has no tooltip.
    const QPoint triangle = system->warningRect().center().toPoint();
    QHelpEvent help(QEvent::ToolTip, triangle, system->mapToGlobal(triangle));
    QApplication::sendEvent(system, &help);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), SafeText::toolTip(error));
    QToolTip::hideText();
    // Whatever an error says is shown literally, never as markup.
    for (const QString& text : {error, QStringLiteral("<b>bold</b> & <img src=x> &amp;"), QStringLiteral("a < b"),
                                QStringLiteral("A & B")})
        EXPECT_EQ(ListFixtures::shownToolTip(SafeText::toolTip(text)), text);
    EXPECT_EQ(system->toolTipAt(QPoint(40, system->height() / 2)), QString());
    SidebarRow* user = sidebar.row(RowId::userLibrary);
    EXPECT_TRUE(user->warningRect().isEmpty());
    EXPECT_EQ(user->countBadge(), nullptr);
    EXPECT_EQ(user->toolTipAt(QPoint(user->width() - 12, user->height() / 2)), QString());
    EXPECT_FALSE(paintsColour(user, Theme::warning()));
    SidebarRow* market = sidebar.row(RowId::market);
    EXPECT_EQ(market->toolTipAt(QPoint(40, market->height() / 2)), QStringLiteral("浏览并单独购买插件"));

    // A category without plug-ins still shows its badge, with 0.
    CountBadge* transitions = sidebar.row(RowId::transitions)->countBadge();
    ASSERT_NE(transitions, nullptr);
    EXPECT_TRUE(transitions->isVisible());
    EXPECT_EQ(transitions->count(), 0);
    EXPECT_EQ(transitions->geometry().right(), sidebar.row(RowId::transitions)->width() - SidebarRow::kPaddingH - 1);
    sidebar.grab().save(screenshotDir() + QStringLiteral("/sidebar-library-error.png"));
}

TEST_F(SidebarViewTest, UserBarShowsTheNameAndOpensTheSettings)
{
    AppState state;
    SidebarView sidebar(&state, recordingCallbacks());
    sidebar.resize(256, 720);
    sidebar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sidebar));
    SidebarUserBar* bar = sidebar.userBar();

    EXPECT_EQ(bar->displayName(), QStringLiteral("用户中心"));
    EXPECT_EQ(bar->avatar()->model().content(), AvatarModel::Content::placeholder);
    EXPECT_EQ(bar->accountButton()->toolTip(), QStringLiteral("打开账户设置"));
    EXPECT_EQ(bar->gearButton()->toolTip(), QStringLiteral("外观设置"));
    EXPECT_EQ(bar->accountButton()->focusPolicy(), Qt::NoFocus);

    QTest::mouseClick(bar->accountButton(), Qt::LeftButton, {}, QPoint(bar->accountButton()->width() - 3, 10));
    QTest::mouseClick(bar->gearButton(), Qt::LeftButton);
    EXPECT_EQ(calls, (QStringList{QStringLiteral("account"), QStringLiteral("settings")}));

    struct Case {
        const char* label;
        std::optional<Member> member;
        QString shown;
        AvatarModel::Content avatar;
    };
    const QString longName = QStringLiteral("一个非常非常非常非常非常长的昵称用来测试截断效果");
    const Case cases[] = {
        {"nickname", member(QStringLiteral(" 阿林 ")), QStringLiteral("阿林"), AvatarModel::Content::initial},
        {"blank with a picture", member(QStringLiteral("  \n"), QStringLiteral("http://127.0.0.1:1/a.png")),
         QStringLiteral("用户中心"), AvatarModel::Content::picture},
        {"signed out again", std::nullopt, QStringLiteral("用户中心"), AvatarModel::Content::placeholder},
        {"emoji", member(QStringLiteral("\U0001F431猫")), QStringLiteral("\U0001F431猫"), AvatarModel::Content::initial},
        {"right-to-left", member(QStringLiteral("\u202Eمرحبا")), QStringLiteral("\u202Eمرحبا"), AvatarModel::Content::initial},
        {"markup and ampersand", member(QStringLiteral("<b>A&B</b>")), QStringLiteral("<b>A&B</b>"), AvatarModel::Content::initial},
        {"long", member(longName), longName, AvatarModel::Content::initial},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        sidebar.setMember(c.member);
        QApplication::processEvents();
        EXPECT_EQ(bar->displayName(), c.shown);
        EXPECT_EQ(bar->avatar()->model().content(), c.avatar);
        EXPECT_EQ(bar->gearButton()->size(), QSize(28, 26));
        EXPECT_LE(bar->accountButton()->geometry().right(), bar->gearButton()->geometry().left());
        // No "&" ever becomes a keyboard shortcut.
        EXPECT_TRUE(bar->accountButton()->shortcut().isEmpty());
    }
    // The long name is cut to one line with an ellipsis.
    EXPECT_TRUE(bar->visibleName().endsWith(QChar(0x2026))) << bar->visibleName().toStdString();
    EXPECT_LT(bar->visibleName().size(), longName.size());
    EXPECT_EQ(bar->accountButton()->height(), SidebarUserBar::kAvatarSize);
}

TEST_F(SidebarViewTest, TheCarouselSlotTakesNoRoomWithoutCards)
{
    AppState state;
    SidebarView sidebar(&state, recordingCallbacks());
    sidebar.resize(256, 720);
    sidebar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sidebar));
    QWidget* bottom = sidebar.userArea()->parentWidget();

    // The hairline and the user bar sit right under the 8-point top padding.
    EXPECT_EQ(sidebar.carousel(), nullptr);
    EXPECT_EQ(sidebar.userArea()->y(), 8);
    EXPECT_EQ(bottom->geometry().bottom(), sidebar.height() - 1);

    auto* cards = new QWidget;
    cards->setFixedHeight(100);
    QPointer<QWidget> guard(cards);
    sidebar.setCarousel(cards);
    QApplication::processEvents();
    EXPECT_TRUE(cards->isVisible());
    EXPECT_EQ(cards->geometry(), QRect(12, 0, sidebar.width() - 24, 100));
    EXPECT_EQ(sidebar.userArea()->y(), 8 + 100 + 10);

    sidebar.setCarousel(nullptr);
    QApplication::processEvents();
    EXPECT_TRUE(guard.isNull());
    EXPECT_EQ(sidebar.userArea()->y(), 8);
}

TEST_F(SidebarViewTest, ReportsWhereTheUserAreaBeginsAboveTheWindowBottom)
{
    AppState state;
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 30, 0, 0);
    auto* sidebar = new SidebarView(&state, recordingCallbacks());
    layout->addWidget(sidebar);
    window.resize(256, 700);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dividerReports.isEmpty(); }, 30000));

    const qreal expected = window.height() - sidebar->userArea()->mapTo(&window, QPoint()).y();
    EXPECT_EQ(dividerReports.last(), expected);
    EXPECT_EQ(expected, sidebar->userArea()->height());
    EXPECT_GT(expected, 30);

    // A window grown taller reports again, with the area still at the bottom.
    dividerReports.clear();
    window.resize(256, 800);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dividerReports.isEmpty(); }, 30000));
    EXPECT_EQ(dividerReports.last(), expected);
}
