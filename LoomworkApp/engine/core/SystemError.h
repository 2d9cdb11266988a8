#pragma once

#include <QString>

// Chinese descriptions of the system errors a user is likely to meet while we touch
// their files; anything else falls back to the system's own text.
namespace SystemError {

QString describe(int errorCode);

} // namespace SystemError
