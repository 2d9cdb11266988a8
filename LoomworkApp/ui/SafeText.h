#pragma once

#include <QString>

// Outside text (file names, plug-in names, server text) made safe to draw on one line.
namespace SafeText {

// Longest text kept, in characters, before drawing cuts it anyway.
inline constexpr int kMaxLength = 600;

// `text` as one line of plain text: line breaks and other controls become spaces, and
// direction embeddings, overrides and isolates are dropped, so a name cannot show other
// characters than it holds ("exe.live" for "evil.exe"). Cut after `maxLength` characters
// (never inside a surrogate pair); a negative `maxLength` keeps the whole text.
QString singleLine(const QString& text, qsizetype maxLength = kMaxLength);

// A tooltip that shows `text` exactly: escaped and always marked up, so that Qt reads it as
// markup whatever it holds ("&amp;" never shows) and markup inside it is shown, not obeyed.
// Empty stays empty (no tooltip).
QString toolTip(const QString& text);

} // namespace SafeText
