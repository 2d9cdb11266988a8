#include "online/TokenStore.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QStringDecoder>

#include "engine/core/AppPaths.h"

namespace {

// Tokens are short; anything this large is not one.
constexpr qsizetype maxTokenBytes = 64 * 1024;

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

QString TokenStore::filePath()
{
    return AppPaths::applicationFolder() + QStringLiteral("/session.token");
}

bool TokenStore::set(const QString& token)
{
    // What read() would not give back is not stored.
    const QByteArray bytes = token.toUtf8();
    if (bytes.size() > maxTokenBytes || token.trimmed().isEmpty())
        return false;
    const QByteArray target = QFile::encodeName(filePath());
    QByteArray temp = target + ".XXXXXX";
    // mkstemp creates the file 0600; the fchmod only guards against an unusual libc.
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && writeAll(fd, bytes)
        && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

void TokenStore::remove()
{
    ::unlink(QFile::encodeName(filePath()).constData());
}

std::optional<QString> TokenStore::read()
{
    const int fd = ::open(QFile::encodeName(filePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    QByteArray bytes;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maxTokenBytes;
    if (ok) {
        bytes.resize(qsizetype(info.st_size));
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        ok = got == bytes.size();
    }
    ::close(fd);
    if (!ok)
        return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}
