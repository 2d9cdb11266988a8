#pragma once

#include <QByteArray>

// How the market's embedded player (Qt WebEngine) must be started, said once for the
// application and its tests: it shares GL contexts with the widgets, and as root it runs
// without Chromium's sandbox, which refuses root and would end the whole process, without
// a word, the moment the player opens.
namespace WebEngineSetUp {

// Before the QApplication exists. `extraFlags` are further Chromium switches (the tests
// map the video site's hosts to this machine); switches already in
// QTWEBENGINE_CHROMIUM_FLAGS stay.
void beforeApplication(const QByteArray& extraFlags = {});

} // namespace WebEngineSetUp
