#pragma once

#include <QString>

// The redirected environment of the application's tests (see AppTestMain.cpp).
namespace TestEnv {

void setUpProcess();
void tearDownProcess();

// The temporary folder that stands in for the user's home.
QString root();
// $HOME/Movies/Motion Templates.localized (not created).
QString userLibrary();
// $LOOMWORK_SYSTEM_LIBRARY (not created).
QString systemLibrary();

// Empties both libraries, the data and config folders (settings included) so that a
// test starts from a fresh installation.
void reset();
// reset(), and whatever a test made elsewhere in the home goes too: after every test the
// process's home is as setUpProcess() left it (the test main calls this), so that no test
// depends on the ones that ran before it. The temporary folder stays: Qt's runtime folder
// lives there for the whole process.
void restore();

} // namespace TestEnv
