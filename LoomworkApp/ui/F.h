#pragma once

#include <QFont>

// The application's type scale. Sizes are given in points as on the original platform
// and come out as the same number of device-independent pixels on every platform.
class F
{
public:
    static QFont display();    // 19 semibold
    static QFont pageTitle();  // 16 semibold
    static QFont heading();    // 15 semibold
    static QFont body();       // 14 regular
    static QFont bodyStrong(); // 14 medium
    static QFont callout();    // 13 regular
    static QFont caption();    // 12.5 regular
    static QFont tiny();       // 12 regular
    static QFont section();    // 11.5 semibold

    // The system font at `points` (as pixels) and `weight`, with the CJK fallback.
    static QFont font(qreal points, QFont::Weight weight = QFont::Normal);
    // The point size Qt needs for `pixels` on the current screen.
    static qreal pointSizeForPixels(qreal pixels);

    static inline const QString cjkFamily = QStringLiteral("Noto Sans CJK SC");
};
