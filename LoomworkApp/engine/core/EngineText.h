#pragma once

#include <QDateTime>
#include <QString>

#include "LoomworkKit/ZFCPluginType.h"

class QCollatorSortKey;

// Small text rules shared by the engine's types.
namespace EngineText {

// A byte count as a Chinese Finder shows file sizes: decimal units, "零 KB", "999 字节",
// "12 KB", "1.5 MB", "2.25 GB".
QString byteCountText(qint64 bytes);

// The Finder's name order: case-insensitive, digit runs by value. Safe from any thread.
int localizedStandardCompare(const QString& a, const QString& b);
// A key that orders as localizedStandardCompare does, for sorting many names: each name is
// collated once instead of at every comparison.
QCollatorSortKey localizedSortKey(const QString& text);

// U+3400..U+4DBF, U+4E00..U+9FFF, U+F900..U+FAFF.
bool isChineseScalar(char32_t scalar);
bool containsChinese(const QString& text);

// Times and dates as a Chinese system shows them, whatever the system's locale: the short
// time "09:05" and the abbreviated date with it, "2026年12月9日 09:05" (local time).
QString shortTimeText(const QTime& time);
QString dateTimeText(const QDateTime& when);

QString rawValue(ZFCPluginType type);
QString displayName(ZFCPluginType type);
QString directoryName(ZFCPluginType type);

} // namespace EngineText
