#include "support/app/RecordingAdminRunner.h"

#include <optional>

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

void RecordingAdminRunner::setBeforeRun(std::function<void()> beforeRun)
{
    QMutexLocker lock(&m_mutex);
    m_beforeRun = std::move(beforeRun);
}

QList<QStringList> RecordingAdminRunner::commands() const
{
    QMutexLocker lock(&m_mutex);
    return m_commands;
}

AdminRunner::Flavor RecordingAdminRunner::flavor() const
{
    return m_flavor;
}

AdminRunner::Outcome RecordingAdminRunner::run(const QStringList& command, bool)
{
    bool execute = false;
    std::function<void()> beforeRun;
    std::optional<Outcome> queued;
    {
        QMutexLocker lock(&m_mutex);
        m_commands.append(command);
        if (!m_outcomes.empty()) {
            queued = m_outcomes.front();
            m_outcomes.pop_front();
        }
        execute = m_execute;
        beforeRun = m_beforeRun;
    }
    if (beforeRun)
        beforeRun();
    if (queued)
        return *queued;
    Outcome outcome;
    outcome.launched = true;
    outcome.exitStatus = 0;
    if (execute && !command.isEmpty()) {
        QProcess process;
        process.start(command.first(), command.mid(1));
        if (!process.waitForStarted(-1)) {
            outcome.launched = false;
            outcome.exitStatus = -1;
            outcome.launchError = process.errorString();
            return outcome;
        }
        process.waitForFinished(-1);
        outcome.exitStatus = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        outcome.standardError = QString::fromUtf8(process.readAllStandardError());
    }
    return outcome;
}
