#pragma once

#include <deque>

#include <QMutex>
#include <QStringList>

#include "engine/AdminRunner.h"

// Records every administrator command instead of running it. By default each command
// "succeeds" without doing anything; `executeLocally` runs it with /bin/sh as the current
// user, so tests can see the command's real effect. Installs itself for its lifetime.
class RecordingAdminRunner final : public AdminRunner
{
public:
    explicit RecordingAdminRunner(Flavor flavor = Flavor::linux);
    ~RecordingAdminRunner() override;

    void setExecuteLocally(bool execute);
    // Outcomes for the next commands, in order; afterwards commands succeed.
    void queueOutcome(const Outcome& outcome);

    QStringList commands() const;

    Flavor flavor() const override;
    Outcome run(const QString& shellCommand, bool diagnostics) override;

private:
    mutable QMutex m_mutex;
    Flavor m_flavor;
    bool m_execute = false;
    std::deque<Outcome> m_outcomes;
    QStringList m_commands;
    AdminRunner* m_previous = nullptr;
};
