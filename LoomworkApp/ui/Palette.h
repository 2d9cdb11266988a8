#pragma once

#include <QColor>
#include <QPalette>
#include <QRgb>

#include "LoomworkKit/ZFCPluginType.h"

// The application's colours. Each role has a light and a dark value; the accessors
// resolve it for the appearance in force (Appearance), so widgets read them when they
// paint and follow a change of appearance with a repaint.
class Palette
{
public:
    struct Pair {
        QRgb light;
        QRgb dark;
        QColor resolve(bool dark) const;
    };

    static constexpr Pair brandPair{0x0A7CC0, 0x4CBCEE};
    static constexpr Pair brandDeepPair{0x0A55A2, 0x8AC6EE};
    static constexpr Pair brandBrightPair{0x00A6DE, 0x63D1F6};
    static constexpr Pair purplePair{0x1F5FB4, 0x7FB6E8};
    static constexpr Pair bluePair{0x0A7CC0, 0x4CBCEE};
    static constexpr Pair greenPair{0x0C8E9C, 0x45C4D2};
    static constexpr Pair orangePair{0xC0761A, 0xE7A94A};
    static constexpr Pair redPair{0xD3302A, 0xF26A61};
    static constexpr Pair tealPair{0x0B879B, 0x45C0CF};

    static QColor brand();
    static QColor brandDeep();
    static QColor brandBright();
    static QColor purple();
    static QColor blue();
    static QColor green();
    static QColor orange();
    static QColor red();
    static QColor teal();

    // Text by emphasis: the system's primary, secondary and tertiary label colours.
    static QColor primary();
    static QColor secondary();
    static QColor tertiary();

    // The colour a plug-in category is drawn in everywhere.
    static QColor category(ZFCPluginType type);

    // A colour resolved from two 0xRRGGBB values for the appearance in force.
    static QColor dynamic(QRgb light, QRgb dark);

    // The Fusion palette of the whole application for one appearance.
    static QPalette qtPalette(bool dark);
};
