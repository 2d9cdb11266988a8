#include "engine/files/AdminRunner.h"

#include <atomic>
#include <utility>

#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include "engine/files/AdminAuth.h"

namespace {

ProcessAdminRunner g_processRunner;
std::atomic<AdminRunner*> g_current{nullptr};

// Never looked up through PATH, which whoever started us may have pointed anywhere.
QString pkexecPath()
{
    for (const char* path : {"/usr/bin/pkexec", "/bin/pkexec"}) {
        if (::access(path, X_OK) == 0)
            return QString::fromLatin1(path);
    }
    return QStringLiteral("/usr/bin/pkexec"); // not installed: the launch fails and says so
}

} // namespace

AdminRunner::~AdminRunner() = default;

QString AdminRunner::helperPath()
{
    if (QCoreApplication::instance()) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/loomwork-admin");
        if (QFileInfo(beside).isExecutable())
            return beside;
    }
#ifdef LOOMWORK_ADMIN_HELPER
    return QStringLiteral(LOOMWORK_ADMIN_HELPER);
#else
    return QCoreApplication::applicationDirPath() + QStringLiteral("/loomwork-admin");
#endif
}

AdminRunner& AdminRunner::current()
{
    AdminRunner* runner = g_current.load();
    return runner ? *runner : g_processRunner;
}

AdminRunner* AdminRunner::setCurrent(AdminRunner* runner)
{
    return g_current.exchange(runner);
}

ProcessAdminRunner::ProcessAdminRunner(QString pkexec) : m_pkexec(std::move(pkexec)) {}

AdminRunner::Flavor ProcessAdminRunner::flavor() const
{
#ifdef Q_OS_MACOS
    return Flavor::macOS;
#else
    return Flavor::linux;
#endif
}

AdminRunner::Outcome ProcessAdminRunner::run(const QStringList& command, bool diagnostics)
{
    QProcess process;
    if (flavor() == Flavor::macOS) {
        // "do shell script" takes one line: every argument goes in as one quoted word.
        QStringList words;
        for (const QString& argument : command)
            words.append(AdminAuth::quote(argument));
        process.setProgram(QStringLiteral("/usr/bin/osascript"));
        process.setArguments({QStringLiteral("-e"), AdminAuth::appleScript(words.join(QLatin1Char(' ')))});
    } else {
        process.setProgram(m_pkexec.isEmpty() ? pkexecPath() : m_pkexec);
        process.setArguments(command);
    }
    if (diagnostics)
        process.setProcessChannelMode(QProcess::SeparateChannels);
    else
        process.setProcessChannelMode(QProcess::ForwardedChannels);

    Outcome outcome;
    process.start();
    if (!process.waitForStarted(-1)) {
        outcome.launchError = process.errorString();
        return outcome;
    }
    outcome.launched = true;
    // The password prompt may stay open for as long as the user likes.
    process.waitForFinished(-1);
    outcome.exitStatus = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (diagnostics && outcome.exitStatus != 0) {
        const QByteArray bytes = process.readAllStandardError();
        QString text = QString::fromUtf8(bytes);
        // Text that is not UTF-8 is dropped rather than shown garbled.
        if (text.toUtf8() != bytes)
            text.clear();
        outcome.standardError = text;
    }
    return outcome;
}
