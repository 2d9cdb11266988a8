#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "engine/files/AdminAuth.h"
#include "engine/files/AdminRunner.h"
#include "engine/core/FsPath.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

// Stands in for pkexec: writes the arguments it got beside itself, each ended by a NUL.
QString makeStandIn(const QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("pkexec"));
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return {};
    script.write("#!/bin/sh\n"
                 "for argument in \"$@\"; do printf '%s\\0' \"$argument\"; done >\"$0.argv\"\n"
                 "exit 7\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QList<QByteArray> recordedArguments(const QString& standIn)
{
    QFile record(standIn + QStringLiteral(".argv"));
    if (!record.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> arguments = record.readAll().split('\0');
    arguments.removeLast(); // after the last NUL
    return arguments;
}

} // namespace

// The real runner, with only pkexec stood in for: each argument of a privileged command must
// reach it as one word with its exact bytes, so that no shell reads a path on the way.
TEST(ProcessAdminRunnerTest, PkexecGetsEveryArgumentAsOneWord)
{
    TestEnv::reset();
    if (ProcessAdminRunner().flavor() != AdminRunner::Flavor::linux)
        GTEST_SKIP() << "pkexec is the Linux runner's";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString standIn = makeStandIn(dir);
    ASSERT_FALSE(standIn.isEmpty());
    ProcessAdminRunner runner(standIn);

    const QString effects = TestEnv::systemLibrary() + QStringLiteral("/Effects.localized/");
    const QByteArray notUtf8("Gl\xff\xfe ow");
    const QList<QString> names{
        QStringLiteral("Glow with spaces "),
        QStringLiteral("It's \"quoted\""),
        QStringLiteral("$(touch pwned) `id` $HOME; rm -rf x"),
        QStringLiteral("new\nline\ttab"),
        QStringLiteral("*?[a]\\ &|<>"),
        FsPath::fromBytes(notUtf8.toStdString()),
    };
    for (const QString& name : names) {
        SCOPED_TRACE(FsPath::encode(name).toStdString());
        AdminAuth::Item item;
        item.folder = effects.chopped(1);
        item.name = name;
        item.identity = {1, 2, 3};
        item.room = QStringLiteral(".x.loomwork-removing-0123456789abcdef");
        item.roomIdentity = {4, 5, 6};
        const QStringList command = AdminAuth::removeCommand(item);
        ASSERT_GE(command.size(), 4);
        QFile::remove(standIn + QStringLiteral(".argv"));

        EXPECT_EQ(runner.run(command, false).exitStatus, 7);

        const QList<QByteArray> received = recordedArguments(standIn);
        ASSERT_EQ(received.size(), command.size());
        for (qsizetype i = 0; i < command.size(); ++i)
            EXPECT_EQ(received[i], command[i].toUtf8()) << i;
        // A name that is not UTF-8 goes as its bytes in hexadecimal, which give it back exactly.
        const QByteArray inside = FsPath::encode(name);
        const QByteArray path = received.value(received.size() - 5);
        EXPECT_TRUE(path == inside || QByteArray::fromHex(path) == inside);
        EXPECT_EQ(received.contains("--hex"), FsPath::encode(name) != name.toUtf8());
    }
}
