#pragma once

#include <QColor>
#include <QString>

#include "online/PromoCard.h"

// The colours of the promotion views by purpose, all derived from the theme's palette, so
// that the views themselves name no colour values.
namespace PromoStyle {

// Black at `opacity`: darkening over pictures, caption capsules, the banner's close badge.
QColor scrim(qreal opacity);
// White at `opacity`: text and controls drawn over pictures.
QColor onPicture(qreal opacity);
// `color` at `opacity`.
QColor faded(const QColor& color, qreal opacity);
// The card's accent in the palette.
QColor accent(PromoCard::Accent accent);
// The carousel card's fill and shadow for the appearance in force.
QColor cardFill();
QColor cardShadow();
// The carousel button: a capsule of the primary colour with inverted text.
QColor pillButtonFill();
QColor pillButtonText();
// The plate under a promotion picture (QR codes need a light ground in both appearances).
QColor picturePlate();

// `text` cut to at most `maxChars` characters (with "…"), so that a huge server text never
// stalls layout; every shown text passes through this.
QString displayCut(const QString& text, qsizetype maxChars = 2000);
// `text` cut as displayCut() does and made safe to draw on one line (no line breaks,
// no direction overrides).
QString oneLine(const QString& text, qsizetype maxChars = 500);
// A tooltip that shows `text` literally, markup and all, cut as displayCut cuts.
QString plainToolTip(const QString& text);

} // namespace PromoStyle
