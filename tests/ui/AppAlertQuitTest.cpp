// A worker that waits for an answer must not hold up the end of the process: the child
// process below leaves a question unanswered on a pool thread and lets its application
// object go; it must exit promptly with the question answered false.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QThreadPool>

#include "ui/AppAlert.h"
#include "ui/ConfirmBroker.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {
const char* const kResultVariable = "LOOMWORK_QUIT_CHILD_RESULT";
}

TEST(AppAlertQuitChild, LeavesAQuestionPending)
{
    const QString resultPath = qEnvironmentVariable(kResultVariable);
    if (resultPath.isEmpty())
        GTEST_SKIP() << "runs only as the child of AppAlertQuit";
    QThreadPool::globalInstance()->start([resultPath] {
        const bool answer = AppAlert::confirm(QStringLiteral("退出时"), QStringLiteral("未回答"),
                                              AppAlert::Style::warning, QStringLiteral("好"),
                                              QStringLiteral("取消"));
        QFile out(resultPath);
        if (out.open(QIODevice::WriteOnly))
            out.write(answer ? "true" : "false");
    });
    // Without turning the event loop, so that the question is never shown.
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired() && AppAlert::broker().waitingCount() == 0;)
        QThread::msleep(1);
    ASSERT_EQ(AppAlert::broker().waitingCount(), 1);
}

TEST(AppAlertQuit, PendingQuestionAnswersFalseWhenTheApplicationGoes)
{
    const QString resultPath = TestEnv::root() + QStringLiteral("/quit-answer.txt");
    QFile::remove(resultPath);
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kResultVariable), resultPath);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=AppAlertQuitChild.*")});
    ASSERT_TRUE(child.waitForStarted(30000));
    const bool finished = child.waitForFinished(60000);
    if (!finished)
        child.kill();
    ASSERT_TRUE(finished) << "the child hung at exit";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAll().toStdString();
    QFile result(resultPath);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_EQ(result.readAll(), QByteArray("false"));
}
