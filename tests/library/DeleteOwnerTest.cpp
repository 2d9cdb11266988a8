#include <gtest/gtest.h>

#include <cstdio>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSignalSpy>

#include <SafeFS/Identity.h>
#include "engine/core/FsPath.h"
#include "engine/files/HeldFolders.h"
#include "library/PluginListController.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"
#include "support/views/EffectListTest.h"
#include "ui/AppAlert.h"

// The delete's question about another user's plug-ins: the owner is read through the folder the
// delete then acts in, and the question stays on the screen however many it names.
namespace {

constexpr uid_t kThird = 4242;

class DeleteOwnerTest : public EffectListTest
{
protected:
    void TearDown() override
    {
        HeldFolders::setOpenedHookForTests(nullptr);
        EffectListTest::TearDown();
    }

    // A plug-in of the system library's effects owned by `owner`, as the list shows it.
    static Plugin systemPlugin(const QString& name, uid_t owner)
    {
        Plugin plugin;
        plugin.name = name;
        plugin.type = ZFCPluginType::effect;
        plugin.root = PluginRoot::system;
        plugin.path = PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, name);
        EXPECT_EQ(::chown(QFile::encodeName(plugin.path).constData(), owner, owner), 0);
        EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(plugin.path), plugin.identity), 0);
        return plugin;
    }

    static QString effects() { return PluginRoot(PluginRoot::system).path() + QStringLiteral("/Effects.localized"); }

    PluginListController controller{&state, &ops};
};

QString screenshotDir()
{
    const QString dir = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../screenshots"));
    QDir().mkpath(dir);
    return QDir::cleanPath(dir);
}

// Another user exchanges the category with an empty folder of his own between the delete's
// opening of it and the note, as the neighbour did by inotify.
void exchangeCategory(const QString& folder)
{
    const QByteArray decoy = QFile::encodeName(QFileInfo(folder).path() + QStringLiteral("/Decoy"));
    if (!QFileInfo::exists(QFile::decodeName(decoy))) {
        ASSERT_EQ(::mkdir(decoy.constData(), 0777), 0);
    }
    ASSERT_EQ(::renameat2(AT_FDCWD, decoy.constData(), AT_FDCWD, QFile::encodeName(folder).constData(), RENAME_EXCHANGE), 0);
}

} // namespace

TEST_F(DeleteOwnerTest, TheNoteAndTheDeleteUseTheFolderOpenedOnceWhateverIsExchangedAfter)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    const Plugin theirs = systemPlugin(QStringLiteral("Good"), kThird);
    const Plugin mine = systemPlugin(QStringLiteral("Mine"), ::geteuid());
    HeldFolders::setOpenedHookForTests([](const QString& folder) { exchangeCategory(folder); });

    HeldFolders held;
    const QString note = PluginListController::ownersNote({theirs, mine}, held);
    HeldFolders::setOpenedHookForTests(nullptr);
    EXPECT_EQ(note, QStringLiteral("\n\n以下插件不是你的：\n「Good」属于用户「UID 4242」"));
    EXPECT_EQ(held.toldOwner(theirs.path), std::optional<uid_t>(kThird));
    EXPECT_EQ(held.toldOwner(mine.path), std::optional<uid_t>(::geteuid()));
    // What stands at the category's name now is the neighbour's empty folder.
    EXPECT_TRUE(PackageMaker::namesIn(effects()).isEmpty());

    // Put back while the prompt is up; then the same once more for the delete itself: the
    // question is answered and the delete acts in the folder the note read, not in his.
    exchangeCategory(effects());
    ASSERT_TRUE(QFileInfo::exists(effects() + QStringLiteral("/Good")));
    HeldFolders::setOpenedHookForTests([](const QString& folder) { exchangeCategory(folder); });
    FakeAlertPresenter alerts;
    alerts.queueAnswers({true});
    QSignalSpy busy(&ops, &OperationsCenter::isBusyChanged);
    ASSERT_TRUE(controller.deleteWithConfirmation({theirs}));
    HeldFolders::setOpenedHookForTests(nullptr);
    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_TRUE(alerts.questions()[0].message.endsWith(QStringLiteral("「Good」属于用户「UID 4242」")))
        << alerts.questions()[0].message.toStdString();
    while (ops.isBusy() || busy.isEmpty())
        ASSERT_TRUE(busy.wait(20000));
    const QString real = PluginRoot(PluginRoot::system).path() + QStringLiteral("/Decoy");
    EXPECT_FALSE(QFileInfo::exists(real + QStringLiteral("/Good")));
    EXPECT_TRUE(QFileInfo::exists(real + QStringLiteral("/Mine")));
    EXPECT_TRUE(PackageMaker::namesIn(effects()).isEmpty()) << "the neighbour's folder is left alone";
}

// 63 plug-ins, 62 of them another user's: the first names and a count, and the whole question,
// buttons included, fits the screen.
TEST_F(DeleteOwnerTest, AQuestionNamingManyOwnersStaysWithinTheScreen)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    struct Case {
        int theirs;
        QString longName; // appended to each name
        bool counted;     // "……等 N 个" closes the list
    };
    const Case cases[] = {
        {62, QString(), true},
        {62, QString(80, QChar(u'长')), true},
        {3, QString(), false},
    };
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const int available = screen->availableGeometry().height();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.theirs);
        TestEnv::reset();
        QList<Plugin> targets{systemPlugin(QStringLiteral("Mine"), ::geteuid())};
        for (int i = 0; i < c.theirs; ++i)
            targets.append(systemPlugin(QStringLiteral("Theirs %1").arg(i) + c.longName, kThird));
        HeldFolders held;
        const QString message = PluginListController::deleteMessage(int(targets.size()))
            + PluginListController::ownersNote(targets, held);
        EXPECT_EQ(message.contains(QStringLiteral("……等 %1 个").arg(c.theirs)), c.counted) << message.toStdString();
        EXPECT_TRUE(message.contains(QStringLiteral("「Theirs 0")));
        QMessageBox* box = AppAlert::makeAlert(QStringLiteral("确认删除"), message, AppAlert::Style::warning,
                                               QStringLiteral("删除"), QStringLiteral("取消"), nullptr);
        box->show();
        QCoreApplication::processEvents();
        const QImage shot = box->grab().toImage();
        shot.save(screenshotDir() + QStringLiteral("/delete-owners-%1-%2.png").arg(c.theirs).arg(c.longName.size()));
        EXPECT_LE(shot.height(), available);
        EXPECT_LE(box->frameGeometry().height(), available);
        delete box;
    }
}
