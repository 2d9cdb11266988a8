#include "support/app/RecordingAdminRunner.h"

#include <QProcess>

RecordingAdminRunner::RecordingAdminRunner(Flavor flavor) : m_flavor(flavor)
{
    m_previous = AdminRunner::setCurrent(this);
}

RecordingAdminRunner::~RecordingAdminRunner()
{
    AdminRunner::setCurrent(m_previous);
}

void RecordingAdminRunner::setExecuteLocally(bool execute)
{
    QMutexLocker lock(&m_mutex);
    m_execute = execute;
}

void RecordingAdminRunner::queueOutcome(const Outcome& outcome)
{
    QMutexLocker lock(&m_mutex);
    m_outcomes.push_back(outcome);
}

QStringList RecordingAdminRunner::commands() const
{
    QMutexLocker lock(&m_mutex);
    return m_commands;
}

AdminRunner::Flavor RecordingAdminRunner::flavor() const
{
    return m_flavor;
}

AdminRunner::Outcome RecordingAdminRunner::run(const QString& shellCommand, bool)
{
    bool execute = false;
    {
        QMutexLocker lock(&m_mutex);
        m_commands.append(shellCommand);
        if (!m_outcomes.empty()) {
            const Outcome outcome = m_outcomes.front();
            m_outcomes.pop_front();
            return outcome;
        }
        execute = m_execute;
    }
    Outcome outcome;
    outcome.launched = true;
    outcome.exitStatus = 0;
    if (execute) {
        QProcess process;
        process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellCommand});
        process.waitForFinished(-1);
        outcome.exitStatus = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        outcome.standardError = QString::fromUtf8(process.readAllStandardError());
    }
    return outcome;
}
