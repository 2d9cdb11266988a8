#pragma once

#include <optional>

#include <QString>

// The session token between launches: "session.token" in the application folder, the
// token's UTF-8 bytes as the server issued them. The file is readable by its owner only
// at every moment: each write goes to a new 0600 file that then replaces the old one.
namespace TokenStore {

QString filePath();

// False, the file keeping what it held, when the write fails or the token is one read()
// would refuse (blank, above 64 KiB).
bool set(const QString& token);
void remove();
// The trimmed token; nothing for a missing, unreadable, oversized, non-UTF-8 or blank file.
std::optional<QString> read();

} // namespace TokenStore
