#pragma once

#include <QByteArray>

#include "engine/templates/CompatTable.h"

// The compatibility table built into the program, kept as an AES-GCM sealed box.
namespace CompatBundled {

// Opened once per process; the empty table when the box cannot be opened.
const CompatTable& table();

// Opens base64 text of a sealed box (12-byte nonce, ciphertext, 16-byte tag) holding a
// JSON table; the empty table on any failure.
CompatTable open(const QByteArray& sealedBase64);

} // namespace CompatBundled
