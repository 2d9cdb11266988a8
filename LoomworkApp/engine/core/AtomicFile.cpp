#include "engine/core/AtomicFile.h"

#include <cerrno>

#include <QSaveFile>

int AtomicFile::write(const QString& path, const QByteArray& bytes)
{
    errno = 0;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return errno ? errno : EIO;
    if (file.write(bytes) != bytes.size()) {
        const int error = errno ? errno : EIO;
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return errno ? errno : EIO;
    return 0;
}
