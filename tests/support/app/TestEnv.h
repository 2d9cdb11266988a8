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

} // namespace TestEnv
