#pragma once

// Ways in for the tests. Only zfcptool_seams, built for the tests, reads them (Seams.cpp with
// ZFCPTOOL_SEAMS); in the shipped zfcptool every call does nothing. Read from the environment
// once:
//   ZFCPTOOL_TEST_REFUSE_EXCHANGE=1  the exchange is refused, as some file systems do;
//   ZFCPTOOL_TEST_REFUSE_FLAGS=1     every rename flag is refused (no renameat2), in the run and
//                                    in its undo;
//   ZFCPTOOL_TEST_FAIL_MOVE=N        the Nth move (rename or exchange) fails with EIO;
//   ZFCPTOOL_TEST_FAIL_RECORD=N      the Nth write of the run's record reaches the disk and then
//                                    fails with EIO (as a sync that fails after the rename), and
//                                    every later one fails with EIO before writing;
//   ZFCPTOOL_TEST_EXIT_AFTER=N       the process ends at once (status 86) after its Nth change
//                                    to the hidden folders, the run's record or the plug-ins,
//                                    as if killed;
//   ZFCPTOOL_TEST_PAUSE_FILE=F       before waiting for ROOT's lock held by another run, F.waiting
//                                    is created; with ZFCPTOOL_TEST_PAUSE_AT=N, before the Nth
//                                    move F.paused is, and the run waits until F is there; with
//                                    ZFCPTOOL_TEST_PAUSE_AT=read, the same once the staging
//                                    folders stand, before the package is read into them;
//   ZFCPTOOL_TEST_SYNC_LOG=F with ZFCPTOOL_TEST_SYNC_ROOT=D
//                                    every sync of a file system is not made but logged to F,
//                                    with the files below D and their sizes at that moment;
//   ZFCPTOOL_TEST_COUNT_LOG=F        each write of the run's record appends "record <bytes>" to
//                                    F, and each sync of a file system (made as usual) "syncfs".
namespace Seams {

// Reads the settings, before anything else the run does.
void start();
bool refuseExchange();
// Before each move: pauses when asked; the errno the move is to fail with, or 0.
int beforeMove();
// After each change; may end the process.
void stepDone();
// Before waiting for ROOT's lock.
void waiting();
// Before the package is read into the staging folders.
void beforeRead();

// After each write of the run's record `name` in the open folder `folder`.
void recordWritten(int folder, const char* name);

enum class RecordWrite { asUsual, failAfterWriting, failBeforeWriting };
// Before each write of the run's record.
RecordWrite recordWrite();

} // namespace Seams
