#include "support/app/StartUp.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>

#include "engine/library/AppState.h"

namespace {

constexpr char kChild[] = "LOOMWORK_START_UP_CHILD";
// What the new process takes over; its test main points them at a folder of its own first.
constexpr const char* kAdopted[] = {"HOME", "XDG_DATA_HOME", "LOOMWORK_SYSTEM_LIBRARY"};

QByteArray adoptedName(const char* name)
{
    return QByteArray(kChild) + "_" + name;
}

} // namespace

void StartUp::run()
{
    AppState state;
    QSignalSpy finished(&state, &AppState::scanFinished);
    state.refresh();
    while (state.isScanning())
        ASSERT_TRUE(finished.wait(30000));
}

bool StartUp::isChild()
{
    if (!qEnvironmentVariableIsSet(kChild))
        return false;
    for (const char* name : kAdopted)
        qputenv(name, qgetenv(adoptedName(name).constData()));
    return true;
}

bool StartUp::runInNewProcess(const QString& test)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChild, "1");
    for (const char* name : kAdopted)
        env.insert(adoptedName(name), qEnvironmentVariable(name));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=" + test});
    if (!child.waitForFinished(120000))
        return false;
    const QByteArray output = child.readAll();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 && output.contains("[  PASSED  ] 1 test");
}
