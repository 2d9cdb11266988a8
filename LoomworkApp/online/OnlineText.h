#pragma once

#include <optional>

#include <QString>
#include <QStringList>

// The two trimming rules of the remote documents, which are not interchangeable.
namespace OnlineText {

// Unicode space separators and the tab: what "blank" means here.
bool isBlank(QChar c);
// A line break: U+000A to U+000D, U+0085, U+2028, U+2029.
bool isLineBreak(QChar c);

// White space and line breaks removed at both ends.
QString trimmed(const QString& text);
// Only blanks removed at both ends; line breaks stay.
QString blankTrimmed(const QString& text);

// `text` trimmed, or nothing when absent or empty after trimming.
std::optional<QString> nonEmptyTrimmed(const std::optional<QString>& text);

// Split at every line-break character on its own (so CR LF leaves an empty piece).
QStringList splitLines(const QString& text);

} // namespace OnlineText
