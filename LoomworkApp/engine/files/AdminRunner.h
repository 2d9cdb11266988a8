#pragma once

#include <QString>
#include <QStringList>

// Runs one program with administrator rights: through osascript "with administrator
// privileges" on macOS (each argument quoted as one word), through pkexec, called by its
// absolute path, elsewhere; no shell line is built from a path. The engine reaches it through
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
        macOS, // osascript: the user types the login password
        linux  // pkexec: polkit asks for the user's own password
    };

    virtual ~AdminRunner();

    // Which system asks for the rights.
    virtual Flavor flavor() const = 0;
    // Runs `command` (the program's absolute path, then its arguments) and blocks until it has
    // ended. `diagnostics` asks for its standard error.
    virtual Outcome run(const QStringList& command, bool diagnostics) = 0;

    // The absolute path of loomwork-admin, the program the privileged commands run: beside
    // the application, else where the build put it.
    static QString helperPath();

    // The runner in force; the process runner of this platform unless one is installed.
    static AdminRunner& current();
    // Installs `runner` (not owned; null restores the platform's). Returns the previous.
    static AdminRunner* setCurrent(AdminRunner* runner);
};

// The real runner: starts a process per command and waits for it.
class ProcessAdminRunner final : public AdminRunner
{
public:
    // `pkexec`, an absolute path, stands in for the system's pkexec (tests); empty finds it.
    explicit ProcessAdminRunner(QString pkexec = {});

    Flavor flavor() const override;
    Outcome run(const QStringList& command, bool diagnostics) override;

private:
    QString m_pkexec;
};
