#include <gtest/gtest.h>

#include <QSignalSpy>

#include "window/DropIntake.h"
#include "window/InstallRequestQueue.h"
#include "support/app/QtPrint.h"

namespace {

QList<QUrl> files(std::initializer_list<const char*> names)
{
    QList<QUrl> urls;
    for (const char* name : names)
        urls.append(QUrl::fromLocalFile(QStringLiteral("/drop/") + QString::fromUtf8(name)));
    return urls;
}

} // namespace

TEST(DropIntake, PackageFilesAreToldByExtensionInAnyCase)
{
    const struct {
        const char* name;
        bool package;
    } cases[] = {
        {"A.zfcp", true}, {"A.ZFCP", true}, {"b.Zfcp", true}, {"folder.zfcp", true},
        {"b.txt", false}, {"zfcp", false},  {".zfcp", false}, {"a.zfcp.txt", false},
        {"a.zfc", false},   {"folder.zfcp/", true}, {"Notes/", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DropIntake::isPackageFile(files({c.name}).first()), c.package);
    }
}

TEST(DropIntake, MixedDropSkipsTheOthersAndSaysSo)
{
    const auto outcome = DropIntake::sortDrop(files({"A.ZFCP", "b.txt"}));
    EXPECT_EQ(outcome.accepted, files({"A.ZFCP"}));
    EXPECT_EQ(*outcome.alertTitle, "已跳过 1 个文件");
    EXPECT_EQ(*outcome.alertMessage,
              "这些不是 .zfcp 插件备份，没有安装：\n\n· b.txt\n\n其余 1 个 .zfcp 文件会继续安装。");
}

TEST(DropIntake, OnlyOthersNameFourAndCountTheRest)
{
    const auto six = DropIntake::sortDrop(files({"1.txt", "2.txt", "3.txt", "4.txt", "5.txt", "6.txt"}));
    EXPECT_TRUE(six.accepted.isEmpty());
    EXPECT_EQ(*six.alertTitle, "这些文件不能安装");
    EXPECT_EQ(*six.alertMessage,
              "拖进来的 6 个文件不是 .zfcp 插件备份，已忽略：\n\n· 1.txt\n· 2.txt\n· 3.txt\n· 4.txt"
              "\n…另有 2 个文件\n\n请拖入扩展名为 .zfcp 的文件（在插件市场下载或从「备份」导出的都是这种格式）。");

    const auto four = DropIntake::sortDrop(files({"1.txt", "2.txt", "3.txt", "4.txt"}));
    EXPECT_FALSE(four.alertMessage->contains("另有"));
    EXPECT_TRUE(four.alertMessage->contains("· 4.txt"));

    // A folder's URL may end in a slash: it is named like any other file.
    const auto folder = DropIntake::sortDrop(files({"Pack.zfcp/", "Notes/"}));
    EXPECT_EQ(folder.accepted, files({"Pack.zfcp/"}));
    EXPECT_EQ(*folder.alertMessage, "这些不是 .zfcp 插件备份，没有安装：\n\n· Notes\n\n其余 1 个 .zfcp 文件会继续安装。");

    const auto clean = DropIntake::sortDrop(files({"a.zfcp", "b.zfcp"}));
    EXPECT_EQ(clean.accepted.size(), 2);
    EXPECT_FALSE(clean.alertTitle);
}

TEST(InstallRequestQueue, RequestsWaitUntilTheWindowCanTakeThem)
{
    InstallRequestQueue queue;
    QSignalSpy presented(&queue, &InstallRequestQueue::presentRequested);

    queue.queue(files({"early.zfcp"})); // before the window is ready and signed out
    queue.queue(files({"notes.txt"}));  // nothing to install: ignored
    queue.setWindowReady(true);
    EXPECT_EQ(presented.count(), 0);
    queue.queue(files({"second.zfcp", "early.zfcp"}));
    queue.setSignedIn(true);
    ASSERT_EQ(presented.count(), 1) << "both waiting requests arrive as one, none dropped";
    EXPECT_EQ(queue.current()->files, files({"early.zfcp", "second.zfcp"}));

    queue.finish();
    queue.setBusy(true);
    queue.queue(files({"while-busy.zfcp"}));
    EXPECT_EQ(presented.count(), 1);
    queue.setBusy(false);
    EXPECT_EQ(presented.count(), 2);

    // An alert up holds the sheet back until it is closed.
    queue.finish();
    queue.setAlertShown(true);
    queue.queue(files({"after-alert.zfcp"}));
    EXPECT_EQ(presented.count(), 2);
    queue.setAlertShown(false);
    EXPECT_EQ(presented.count(), 3);
}

TEST(InstallRequestQueue, NewRequestReplacesAnOpenSheet)
{
    InstallRequestQueue queue;
    queue.setWindowReady(true);
    queue.setSignedIn(true);
    QSignalSpy presented(&queue, &InstallRequestQueue::presentRequested);
    queue.queue(files({"a.zfcp"}));
    const QUuid first = queue.current()->id;
    queue.queue(files({"b.zfcp"}));
    ASSERT_EQ(presented.count(), 2);
    EXPECT_NE(queue.current()->id, first);
    EXPECT_EQ(queue.current()->files, files({"b.zfcp"}));
}

TEST(InstallRequestQueue, AWithdrawnSheetComesBackFreshAfterSignIn)
{
    InstallRequestQueue queue;
    queue.setWindowReady(true);
    queue.setSignedIn(true);
    QSignalSpy presented(&queue, &InstallRequestQueue::presentRequested);
    queue.queue(files({"a.zfcp", "b.zfcp"}));
    ASSERT_EQ(presented.count(), 1);
    const QUuid first = queue.current()->id;

    // Signed out with the sheet up: the sheet goes, its files wait with later ones.
    queue.setSignedIn(false);
    queue.withdraw();
    EXPECT_FALSE(queue.current());
    EXPECT_TRUE(queue.hasPending());
    queue.queue(files({"c.zfcp", "a.zfcp"}));
    EXPECT_EQ(presented.count(), 1);

    queue.setSignedIn(true);
    ASSERT_EQ(presented.count(), 2);
    EXPECT_NE(queue.current()->id, first) << "a fresh request, so that the old sheet's answers do not count";
    EXPECT_EQ(queue.current()->files, files({"a.zfcp", "b.zfcp", "c.zfcp"}));

    queue.finish();
    queue.withdraw(); // no sheet up: nothing to bring back
    EXPECT_FALSE(queue.hasPending());
    EXPECT_EQ(presented.count(), 2);
}
