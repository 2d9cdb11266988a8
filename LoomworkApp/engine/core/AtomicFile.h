#pragma once

#include <QByteArray>
#include <QString>

namespace AtomicFile {

// Replaces `path` with `bytes` through a temporary beside it, so a reader never sees a half
// file and a failed write leaves any earlier file as it was. Returns 0 or the errno of the
// failure (EIO when Qt gives none).
[[nodiscard]] int write(const QString& path, const QByteArray& bytes);

} // namespace AtomicFile
