#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include <QByteArray>
#include <QString>

// The one conversion between QString and a file-system path. On Linux a name is bytes:
// valid UTF-8 decodes as usual, and each byte that is not part of valid UTF-8 becomes the
// lone surrogate U+DC80 + (byte - 0x80), which encoding turns back into that byte, so
// every path read from the disk names the same entry when handed back. Qt's own file
// classes would encode such a string differently: paths that may hold such bytes go
// through these functions (std::filesystem, POSIX calls). Elsewhere this is
// QFile::encodeName / decodeName.
namespace FsPath {

// The length of the UTF-8 sequence starting at s[i]: its byte count when well formed, 0 when
// ill-formed, -1 when the bytes end inside it.
int utf8SequenceLength(const unsigned char* s, std::size_t size, std::size_t i);

QByteArray encode(const QString& path);
QString decode(const QByteArray& bytes);

std::filesystem::path toNative(const QString& path);
QString fromNative(const std::filesystem::path& path);
std::string toBytes(const QString& path);
QString fromBytes(const std::string& bytes);

// For showing a name: escaped bytes read as U+FFFD.
QString displayText(const QString& path);

} // namespace FsPath
