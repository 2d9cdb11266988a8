#include "support/app/ChildTest.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>

bool runTestInChild(const QString& filter, const QList<QPair<QString, QString>>& settings, const QString& preload)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!preload.isEmpty())
        env.insert("LD_PRELOAD", preload);
    for (const auto& [name, value] : settings)
        env.insert(name, value);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=" + filter});
    EXPECT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromLocal8Bit(child.readAll());
    if (child.exitStatus() != QProcess::NormalExit)
        return false;
    EXPECT_TRUE(child.exitCode() == 0 && output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return true;
}

int sweepAllocations(const QString& dir, long stride,
                     const std::function<void(long at, const QString& root, const QString& fired)>& oneTry)
{
    int tries = 0;
    for (long at = 1;; at += stride) {
        SCOPED_TRACE(at);
        const QString fired = dir + "/fired";
        const QString root = dir + "/scene";
        QFile::remove(fired);
        QDir(root).removeRecursively();
        QDir().mkpath(root);
        oneTry(at, root, fired);
        if (::testing::Test::HasFailure())
            break;
        ++tries;
        if (!QFile::exists(fired))
            break; // past the change's last allocation
    }
    QDir(dir + "/scene").removeRecursively();
    return tries;
}
