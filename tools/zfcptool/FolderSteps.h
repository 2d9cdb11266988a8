#pragma once

// File-system steps zfcptool needs beyond SafeFS's.
namespace FolderSteps {

// flock(LOCK_EX), waiting or not; whether it is held.
bool lockExclusive(int fd, bool wait);

} // namespace FolderSteps
