#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QScreen>
#include <QTest>
#include <QVBoxLayout>

#include "ui/DialogPlacement.h"
#include "ui/DialogWindow.h"
#include "ui/DialogWindowController.h"
#include "ui/DimState.h"
#include "support/app/QtPrint.h"

namespace {

using Facts = DialogPlacement::WindowFacts;

Facts window(QRect frame)
{
    Facts f;
    f.frame = frame;
    return f;
}

Facts panel(QRect frame)
{
    Facts f = window(frame);
    f.isPanel = true;
    return f;
}

Facts dialogWindow(QRect frame)
{
    Facts f = window(frame);
    f.isDialogWindow = true;
    return f;
}

Facts hidden(QRect frame)
{
    Facts f = window(frame);
    f.visible = false;
    return f;
}

Facts identified(QRect frame, const QString& id)
{
    Facts f = window(frame);
    f.identifier = id;
    return f;
}

} // namespace

TEST(DialogPlacement, HostRules)
{
    const QRect big(0, 0, 1180, 780);
    const QRect narrow(0, 0, 700, 500);
    const QRect wide(0, 0, 1400, 900);
    struct Case {
        const char* name;
        DialogPlacement::Windows windows;
        std::optional<int> key;
        std::optional<int> excluded;
        std::optional<int> alert;
        std::optional<int> dialog;
        std::optional<int> placement;
    };
    const Case cases[] = {
        {"key main window hosts everything", {window(big)}, 0, {}, 0, 0, 0},
        {"only a 700-wide window: dialogs fall back to it, alerts use it",
         {window(narrow)}, 0, {}, 0, {}, 0},
        {"a panel never hosts", {panel(big), window(big)}, 0, {}, 1, 1, 1},
        {"hidden windows do not count", {hidden(big)}, {}, {}, {}, {}, {}},
        {"dialog windows host alerts but not dialogs", {dialogWindow(big)}, 0, {}, 0, {}, 0},
        {"dialog identifiers do not host dialogs",
         {identified(big, QStringLiteral("loomwork.dialog.qr"))}, 0, {}, 0, {}, 0},
        {"past key and main the largest wins", {window(big), window(wide)}, {}, {}, 0, 1, 1},
        {"equal areas: the first in order", {window(big), window(big)}, {}, {}, 0, 0, 0},
        {"the placed window is excluded", {window(big), window(narrow)}, 0, 0, 0, {}, 1},
        {"nothing but the placed window", {window(big)}, 0, 0, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DialogPlacement::alertHost(c.windows, c.key, std::nullopt), c.alert);
        EXPECT_EQ(DialogPlacement::dialogHost(c.windows, c.key, std::nullopt, c.excluded), c.dialog);
        EXPECT_EQ(DialogPlacement::placementHost(c.windows, c.key, std::nullopt, c.excluded), c.placement);
    }
}

TEST(DialogPlacement, KeepsSixteenFromTheScreenEdges)
{
    const QRect screen(0, 25, 1440, 875); // available area below a 25-high bar
    struct Case {
        const char* name;
        QSize size;
        QRect host;
        std::optional<QRect> available;
        QPoint expected;
    };
    const Case cases[] = {
        {"centred on the host", {400, 300}, {200, 100, 1000, 700}, screen, {500, 300}},
        {"host off the left edge", {400, 300}, {-700, 100, 1000, 700}, screen, {16, 300}},
        {"host off the right and bottom", {400, 300}, {1000, 600, 1000, 700}, screen,
         {1440 - 400 - 16, 25 + 875 - 300 - 16}},
        {"host above the top", {400, 300}, {200, -600, 1000, 700}, screen, {500, 25 + 16}},
        {"larger than the screen: right and top limits win", {1600, 1000}, {0, 25, 1440, 875}, screen,
         {1440 - 1600 - 16, 25 + 16}},
        {"no screen: plain centre", {400, 300}, {-700, 100, 1000, 700}, std::nullopt, {-400, 300}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DialogPlacement::placedOrigin(c.size, c.host, c.available), c.expected);
    }
}

class DialogWindowControllerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        main.setObjectName(QStringLiteral("main"));
        main.setGeometry(100, 100, 1180, 780);
        main.show();
        QApplication::setActiveWindow(&main);
    }
    void TearDown() override
    {
        for (const char* id : {"promo-qr", "other"}) {
            if (DialogWindow* w = DialogWindowController::shared().window(QString::fromLatin1(id)))
                w->close();
        }
        QApplication::processEvents();
    }
    QMainWindow main;
};

TEST_F(DialogWindowControllerTest, OneWindowPerIdAndDimmingFollowsOpenDialogs)
{
    auto& controller = DialogWindowController::shared();
    int closed = 0;
    DialogWindowController::Options options;
    options.title = QStringLiteral("扫码");
    options.size = QSize(360, 420);
    options.modal = true;
    options.dimHost = true;
    options.fullSizeContent = true;
    options.followsHost = true;
    options.onClose = [&closed] { ++closed; };

    DialogWindow* first = controller.show(QStringLiteral("promo-qr"), new QLabel(QStringLiteral("QR")), options);
    DialogWindow* second = controller.show(QStringLiteral("promo-qr"), new QLabel(QStringLiteral("QR")), options);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(DimState::shared().active());
    EXPECT_EQ(first->size(), QSize(360, 420));
    EXPECT_EQ(first->windowModality(), Qt::ApplicationModal);

    DialogWindowController::Options plain;
    plain.size = QSize(300, 200);
    controller.show(QStringLiteral("other"), new QLabel, plain);
    controller.window(QStringLiteral("other"))->close();
    EXPECT_TRUE(DimState::shared().active()); // the dimming dialog is still open

    QPointer<DialogWindow> guard(first);
    first->close();
    EXPECT_FALSE(DimState::shared().active());
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(controller.window(QStringLiteral("promo-qr")), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }, 30000));
    EXPECT_TRUE(guard.isNull());

    // A fresh show after the close opens a new window, placed over the main window and
    // kept inside the screen's available area.
    DialogWindow* again = controller.show(QStringLiteral("promo-qr"), new QLabel, options);
    QApplication::processEvents();
    const QPoint expected = DialogPlacement::placedOrigin(
        again->frameGeometry().size(), main.frameGeometry(), main.screen()->availableGeometry());
    EXPECT_EQ(again->frameGeometry().topLeft(), expected);

    // It follows the main window when that moves.
    main.move(main.pos() + QPoint(-40, 30));
    EXPECT_EQ(again->frameGeometry().topLeft(), expected + QPoint(-40, 30));
    again->close();
    EXPECT_EQ(closed, 2);
}

TEST_F(DialogWindowControllerTest, EscapeAsksTheCancelHandlerFirst)
{
    auto& controller = DialogWindowController::shared();
    DialogWindowController::Options options;
    options.size = QSize(600, 400);
    DialogWindow* window = controller.show(QStringLiteral("other"), new QLabel, options);
    bool handled = true;
    int asked = 0;
    window->cancelHandler = [&] {
        ++asked;
        return handled;
    };
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(window->isVisible());

    handled = false;
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(controller.window(QStringLiteral("other")), nullptr);
}

TEST_F(DialogWindowControllerTest, FittingSizeUsesTheContentHeightFrom120)
{
    auto makeContent = [](int lines) {
        auto* w = new QWidget;
        auto* layout = new QVBoxLayout(w);
        for (int i = 0; i < lines; ++i) {
            auto* row = new QWidget;
            row->setFixedHeight(40);
            layout->addWidget(row);
        }
        return std::unique_ptr<QWidget>(w);
    };
    auto tall = makeContent(8);
    const QSize tallSize = DialogWindowController::fittingSize(tall.get(), 420, 100);
    EXPECT_EQ(tallSize.width(), 420);
    EXPECT_GE(tallSize.height(), 8 * 40);

    auto shortContent = makeContent(1);
    EXPECT_EQ(DialogWindowController::fittingSize(shortContent.get(), 420, 100), QSize(420, 120));
    EXPECT_EQ(DialogWindowController::fittingSize(shortContent.get(), 420, 200), QSize(420, 200));

    // resize() of an id without a window does nothing.
    DialogWindowController::shared().resize(QStringLiteral("missing"), QSize(10, 10), true);
}
