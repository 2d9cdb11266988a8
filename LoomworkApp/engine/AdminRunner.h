#pragma once

#include <QString>

// Runs one shell command with administrator rights: through osascript "with administrator
// privileges" on macOS, through pkexec elsewhere. The engine reaches it through
// AdminRunner::current(), so tests can record commands instead of running them.
class AdminRunner
{
public:
    struct Outcome {
        bool launched = false;
        int exitStatus = -1;
        QString launchError;   // why the runner could not start
        QString standardError; // read only when diagnostics were asked for
    };

    enum class Flavor {
        macOS, // osascript; `ditto` copies
        linux  // pkexec /bin/sh -c; `cp -a` copies
    };

    virtual ~AdminRunner();

    // Which shell dialect the commands handed to run() must be written in.
    virtual Flavor flavor() const = 0;
    // Blocks until the command has ended. `diagnostics` asks for its standard error.
    virtual Outcome run(const QString& shellCommand, bool diagnostics) = 0;

    // The runner in force; the process runner of this platform unless one is installed.
    static AdminRunner& current();
    // Installs `runner` (not owned; null restores the platform's). Returns the previous.
    static AdminRunner* setCurrent(AdminRunner* runner);
};

// The real runner: starts a process per command and waits for it.
class ProcessAdminRunner final : public AdminRunner
{
public:
    Flavor flavor() const override;
    Outcome run(const QString& shellCommand, bool diagnostics) override;
};
