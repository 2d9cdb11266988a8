#pragma once

#include <functional>

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QRgb>

#include "LoomworkKit/ZFCPluginType.h"

class QPushButton;
class QWidget;

// Every colour and font of the application. Colours are named by what they paint, with a
// state suffix (Over: hovered, Down: pressed, Disabled); each has a light and a dark value
// and is resolved for the appearance in force (Appearance) when read, so widgets read them
// while painting and follow a change of appearance with a repaint. Roles may derive from
// others; the colour arithmetic (alpha) lives here and nowhere else.
class Theme
{
public:
    struct Pair {
        QRgb light;
        QRgb dark;
    };

    // The accent (brand) and its shades.
    static QColor accent();
    static QColor accentDeep();   // backup actions, a second accent
    static QColor accentBright(); // highlights on dark grounds
    static QColor warning();      // clashes, errors the user can act on
    static QColor danger();       // destructive actions
    static QColor positive();     // translated, recommended, no clash
    static QColor localizeAction();
    static QColor marketBadge();
    static QColor purchase();         // paying: the pay card's tile and symbol
    static QColor marketFeatured();   // the market's pinned and featured tags
    static QColor priceFree();        // a price of nothing
    static QColor coverGradientEnd(); // the far end of a cover's stand-in gradient (accent at the near end)

    // Text by emphasis (the system's label colours), and on an accent ground.
    static QColor textPrimary();
    static QColor textSecondary();
    static QColor textTertiary();
    static QColor textOnAccent(qreal opacity = 1.0);
    // The foreground ink (black in light, white in dark) at `opacity`.
    static QColor ink(qreal opacity);

    // Surfaces drawn over the window background.
    static QColor cardBg();
    static QColor cardStroke();
    static QColor controlBgOver();  // a hovered row or control
    static QColor controlBgDown();  // a pressed control
    static QColor capsuleBg();      // a capsule button at rest (derives from controlBgOver)
    static QColor selectionBg();
    static QColor divider();
    static QColor sidebarBgTop();
    static QColor sidebarBgBottom();
    static QColor floatingBg();     // floating cards and capsules: opaque, as nothing blurs behind them
    static QColor barBg();          // bars along the window's edges
    static QColor shadow(qreal opacity);
    static QColor scrim(qreal opacity); // veils that dim what is under them
    static QColor glint(qreal opacity); // light sweeping over a mark
    static QColor scrollKnob();
    static QColor scrollKnobDown();
    // The filled prominent button.
    static QColor accentButtonBg();
    static QColor accentButtonBgDown();
    static QColor accentButtonBgDisabled();
    // A tool button's symbol: its tint, or the primary text; faded while disabled.
    static QColor buttonFg(const QColor& tint);
    static QColor buttonFgDisabled(const QColor& tint);

    // The colour a plug-in category is drawn in everywhere.
    static QColor category(ZFCPluginType type);
    // The grounds of a user's initial, by index; the accent outside 0..avatarBgCount-1.
    static QColor avatarBg(int index);
    static constexpr int avatarBgCount = 5;
    // The logo drawn when the shipped picture is missing.
    static QColor logoBgStart();
    static QColor logoBgEnd();
    static QColor logoMark();

    // Promotions: a card's accent by the key the server names it with, the current page dot,
    // the plate under a picture (QR codes need a light ground in both appearances) and text
    // drawn over pictures.
    enum class CardAccent {
        brand,
        purple,
        orange,
        green,
        teal,
        red
    };
    static QColor cardAccent(CardAccent accent);
    static QColor pageDotCurrent();
    static QColor pictureBg();
    static QColor onPicture(qreal opacity = 1.0);

    // `color` with its alpha multiplied by `opacity`.
    static QColor alpha(const QColor& color, qreal opacity);
    // A colour resolved from two 0xRRGGBB values for the appearance in force.
    static QColor resolve(Pair pair);
    static bool isDark();

    // The Fusion palette of the whole application for one appearance.
    static QPalette qtPalette(bool dark);

    // The type scale. Sizes are in points as on the original platform and come out as the
    // same number of device-independent pixels on every platform.
    static QFont displayFont();    // 19 semibold
    static QFont pageTitleFont();  // 16 semibold
    static QFont headingFont();    // 15 semibold
    static QFont bodyFont();       // 14 regular
    static QFont bodyStrongFont(); // 14 medium
    static QFont calloutFont();    // 13 regular
    static QFont captionFont();    // 12.5 regular
    static QFont tinyFont();       // 12 regular
    static QFont sectionFont();    // 11.5 semibold
    // The system font at `points` (as pixels) and `weight`, with the CJK fallback.
    static QFont font(qreal points, QFont::Weight weight = QFont::Normal);
    // The point size Qt needs for `pixels` on the current screen.
    static qreal pointSizeForPixels(qreal pixels);

    static inline const QString cjkFamily = QStringLiteral("Noto Sans CJK SC");
};

// Sets `role` of `widget`'s palette to `colour()`, now and again after every change of
// appearance (a colour set once would stay in the old appearance).
void followColour(QWidget* widget, QPalette::ColorRole role, std::function<QColor()> colour);

// A push button filled with `tint` and labelled in white (dimmed while disabled); call it
// again after a change of appearance.
void makeProminent(QPushButton* button, const QColor& tint);

// Buttons and controls drawn by the views themselves show no focus frame.
void noFocusRing(QWidget* widget);
