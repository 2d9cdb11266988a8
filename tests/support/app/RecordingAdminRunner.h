#pragma once

#include <deque>
#include <functional>

#include <QMutex>
#include <QStringList>

#include "engine/files/AdminRunner.h"

// Records every administrator command (the helper and its arguments) instead of running it.
// By default each command "succeeds" without doing anything; `executeLocally` runs the
// helper itself, as the current user (root in CI) without pkexec, so tests see the command's
// real effect. Installs itself for its lifetime.
class RecordingAdminRunner final : public AdminRunner
{
public:
    explicit RecordingAdminRunner(Flavor flavor = Flavor::linux);
    ~RecordingAdminRunner() override;

    void setExecuteLocally(bool execute);
    // Called on the worker before each command runs (a queued outcome's too): while the
    // password prompt would be open.
    void setBeforeRun(std::function<void()> beforeRun);
    // Outcomes for the next commands, in order; afterwards commands succeed.
    void queueOutcome(const Outcome& outcome);

    QList<QStringList> commands() const;

    Flavor flavor() const override;
    Outcome run(const QStringList& command, bool diagnostics) override;

private:
    mutable QMutex m_mutex;
    Flavor m_flavor;
    bool m_execute = false;
    std::deque<Outcome> m_outcomes;
    std::function<void()> m_beforeRun;
    QList<QStringList> m_commands;
    AdminRunner* m_previous = nullptr;
};
