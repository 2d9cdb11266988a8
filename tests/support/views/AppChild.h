#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// The application itself, run in a child of a test executable through LoomworkMain::run (all
// that main() does), with the test's own steps once its main window is up. The test main
// hands a child over to run() instead of running tests.
namespace AppChild {

// In the child: whether this process was started by start().
bool requested();
int run(int& argc, char** argv);

// In the test: starts this executable as the application, which opens the market's media
// panel on a video-site link whose player page lies at `closedPort` on this machine, and
// prints what the player shows, then quits. The environment is the test's, minus the web
// engine's switches the test main set, so that only the application's own start-up sets them.
void startWithPlayer(QProcess& child, int closedPort);

// Lines the child prints.
inline constexpr char mainWindowUp[] = "loomwork-child: main window up";
inline constexpr char playerLine[] = "loomwork-child: player line: ";

} // namespace AppChild
