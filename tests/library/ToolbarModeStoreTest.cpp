#include <gtest/gtest.h>

#include <QMainWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

#include "library/ToolbarModeStore.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

using Mode = ToolbarModeStore::Mode;

class ToolbarModeStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QSettings().remove(ToolbarModeStore::settingsKey);
        window.setContextMenuPolicy(Qt::NoContextMenu);
        toolbar = window.addToolBar(QStringLiteral("main"));
        toolbar->addAction(QStringLiteral("安装"));
        window.resize(1000, 660);
        window.show();
        store.setClock([this] { return now; });
        store.setWindow(&window);
        store.installClickMonitorIfNeeded();
        store.enforcePreferred();
    }
    void TearDown() override { QSettings().remove(ToolbarModeStore::settingsKey); }

    void rightClick() { QTest::mouseClick(toolbar, Qt::RightButton, {}, QPoint(200, 10)); }
    // The user (or the system) changes the toolbar, then the event loop turns.
    void change(Mode mode)
    {
        toolbar->setToolButtonStyle(ToolbarModeStore::toolButtonStyle(mode));
        QTest::qWait(0);
        QCoreApplication::processEvents();
    }
    Mode onToolbar() const { return ToolbarModeStore::fromToolButtonStyle(toolbar->toolButtonStyle()); }
    QVariant stored() const { return QSettings().value(ToolbarModeStore::settingsKey); }

    QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    QMainWindow window;
    QToolBar* toolbar = nullptr;
    ToolbarModeStore store;
};

} // namespace

TEST(ToolbarModeStoreDecode, StoredStrings)
{
    struct Case {
        const char* stored;
        std::optional<Mode> decoded;
    };
    const Case cases[] = {
        {"default", Mode::systemDefault}, {"iconAndLabel", Mode::iconAndLabel},
        {"iconOnly", Mode::iconOnly},     {"labelOnly", Mode::labelOnly},
        {"IconOnly", std::nullopt},       {"iconOnly ", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(ToolbarModeStore::decode(QString::fromLatin1(c.stored)), c.decoded);
        if (c.decoded) {
            EXPECT_EQ(ToolbarModeStore::encode(*c.decoded), QString::fromLatin1(c.stored));
        }
    }
    ToolbarModeStore store;
    QSettings().setValue(ToolbarModeStore::settingsKey, QStringLiteral("IconOnly"));
    EXPECT_EQ(store.preferred(), Mode::iconAndLabel);
    EXPECT_EQ(QSettings().value(ToolbarModeStore::settingsKey).toString(), QStringLiteral("IconOnly"));
    QSettings().remove(ToolbarModeStore::settingsKey);
}

TEST_F(ToolbarModeStoreTest, WithoutPreferenceTheToolbarShowsIconAndLabel)
{
    EXPECT_EQ(onToolbar(), Mode::iconAndLabel);
    EXPECT_EQ(store.displayMode(), Mode::iconAndLabel);
    EXPECT_FALSE(stored().isValid());
}

TEST_F(ToolbarModeStoreTest, ChoiceAfterRightClickIsKeptForTheNextLaunch)
{
    rightClick();
    now = now.addSecs(30);
    change(Mode::iconOnly);
    EXPECT_EQ(onToolbar(), Mode::iconOnly);
    EXPECT_EQ(store.displayMode(), Mode::iconOnly);
    EXPECT_EQ(stored().toString(), QStringLiteral("iconOnly"));

    // A second change without a new right click is reverted.
    change(Mode::labelOnly);
    EXPECT_EQ(onToolbar(), Mode::iconOnly);
    EXPECT_EQ(stored().toString(), QStringLiteral("iconOnly"));

    // Next launch: a fresh store puts the stored mode on the toolbar.
    ToolbarModeStore next;
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    QCoreApplication::processEvents();
    next.setWindow(&window);
    next.enforcePreferred();
    EXPECT_EQ(onToolbar(), Mode::iconOnly);
    EXPECT_EQ(next.displayMode(), Mode::iconOnly);
}

TEST_F(ToolbarModeStoreTest, ChangesWithoutARecentRightClickAreReverted)
{
    struct Case {
        const char* name;
        bool clicked;
        int secondsAfterClick;
    };
    const Case cases[] = {
        {"no right click", false, 0},
        {"right click 120 s ago", true, 120},
        {"right click long ago", true, 3600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.clicked) {
            rightClick();
            now = now.addSecs(c.secondsAfterClick);
        }
        change(Mode::labelOnly);
        EXPECT_EQ(onToolbar(), Mode::iconAndLabel);
        EXPECT_EQ(store.displayMode(), Mode::iconAndLabel);
        EXPECT_FALSE(stored().isValid());
    }
}
