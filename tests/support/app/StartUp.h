#pragma once

#include <QString>

// The application's start as far as the libraries go: the first scan of an AppState, which
// first puts right what killed runs left.
namespace StartUp {

void run();

// Whether this process is the new one runInNewProcess() started; it has taken over the
// libraries and the data folder of the process that started it.
bool isChild();
// Runs the test `test` ("Suite.Name") in a new process of this program, where isChild() is
// true, as after a restart (all that is on disk predates that process). True when it passed.
bool runInNewProcess(const QString& test);

} // namespace StartUp
