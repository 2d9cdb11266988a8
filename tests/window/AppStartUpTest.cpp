// The application as main() starts it, in a child process: what its own start-up sets up
// must carry the market's embedded player (the web engine), even as root, where Chromium
// refuses to start with its sandbox and would end the process without a word.
#include <csignal>

#include <gtest/gtest.h>

#include <unistd.h>

#include <QProcess>
#include <QTest>

#include "market/BiliWebPlayer.h"
#include "support/app/StandinProcess.h"
#include "support/views/AppChild.h"

namespace {

constexpr int kRunTimeoutMs = 120000;

} // namespace

TEST(AppStartUp, TheVideoSitePlayerOpensInTheRunningAppAndShowsItsOwnLine)
{
    QProcess child;
    AppChild::startWithPlayer(child, StandinProcess::closedPort());
    ASSERT_TRUE(child.waitForStarted());
    const bool ended = child.waitForFinished(kRunTimeoutMs);
    if (!ended) {
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished();
    }
    const QByteArray output = child.readAll();
    ASSERT_TRUE(ended) << "the child did not finish:\n" << output.toStdString();
    SCOPED_TRACE((::geteuid() == 0 ? "as root:\n" : "as a user:\n") + output.toStdString());
    EXPECT_TRUE(output.contains(AppChild::mainWindowUp));
    // The page is unreachable, so the player says so in its own words, and the app stays up
    // until it is told to quit.
    EXPECT_TRUE(output.contains(AppChild::playerLine + QByteArray(BiliWebPlayer::failedText)));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
}
