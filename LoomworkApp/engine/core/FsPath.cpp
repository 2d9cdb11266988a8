#include "engine/core/FsPath.h"

#include <QFile>

namespace {

#if defined(Q_OS_LINUX)
constexpr char16_t kEscapeBase = 0xDC80;

bool isEscape(char16_t c)
{
    return c >= 0xDC80 && c <= 0xDCFF;
}

// Length of the well-formed UTF-8 sequence at `i`, or 0 (a cut at the end counts as ill-formed here).
int sequenceLength(const QByteArray& b, qsizetype i)
{
    const int n = FsPath::utf8SequenceLength(reinterpret_cast<const unsigned char*>(b.constData()),
                                             std::size_t(b.size()), std::size_t(i));
    return n > 0 ? n : 0;
}
#endif

} // namespace

int FsPath::utf8SequenceLength(const unsigned char* s, std::size_t size, std::size_t i)
{
    const unsigned char c = s[i];
    if (c < 0x80)
        return 1;
    std::size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= size)
            return -1;
        const unsigned char cc = s[i + k];
        if (cc < (k == 1 ? lo : 0x80) || cc > (k == 1 ? hi : 0xBF))
            return 0;
    }
    return int(need + 1);
}

QByteArray FsPath::encode(const QString& path)
{
#if defined(Q_OS_LINUX)
    QByteArray out;
    out.reserve(path.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t c = path[i].unicode();
        // A pair of surrogates is one character; only a lone low one is an escaped byte.
        const bool paired = i > 0 && QChar::isHighSurrogate(path[i - 1].unicode());
        if (isEscape(c) && !paired) {
            out += QStringView(path).mid(start, i - start).toUtf8();
            out += char(0x80 + (c - kEscapeBase));
            start = i + 1;
        }
    }
    out += QStringView(path).mid(start).toUtf8();
    return out;
#else
    return QFile::encodeName(path);
#endif
}

QString FsPath::decode(const QByteArray& bytes)
{
#if defined(Q_OS_LINUX)
    QString out;
    out.reserve(bytes.size());
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = sequenceLength(bytes, i);
        if (length > 0) {
            i += length;
            continue;
        }
        out += QString::fromUtf8(bytes.constData() + start, i - start);
        out += QChar(char16_t(kEscapeBase + (static_cast<unsigned char>(bytes[i]) - 0x80)));
        start = ++i;
    }
    out += QString::fromUtf8(bytes.constData() + start, bytes.size() - start);
    return out;
#else
    return QFile::decodeName(bytes);
#endif
}

std::filesystem::path FsPath::toNative(const QString& path)
{
    return std::filesystem::path(toBytes(path));
}

QString FsPath::fromNative(const std::filesystem::path& path)
{
    return fromBytes(path.native());
}

std::string FsPath::toBytes(const QString& path)
{
    return encode(path).toStdString();
}

QString FsPath::fromBytes(const std::string& bytes)
{
    return decode(QByteArray::fromStdString(bytes));
}

QString FsPath::displayText(const QString& path)
{
#if defined(Q_OS_LINUX)
    QString out = path;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const bool paired = i > 0 && QChar::isHighSurrogate(path[i - 1].unicode());
        if (isEscape(out[i].unicode()) && !paired)
            out[i] = QChar::ReplacementCharacter;
    }
    return out;
#else
    return path;
#endif
}
