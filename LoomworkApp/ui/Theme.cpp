#include "ui/Theme.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QStringList>
#include <QWidget>

#include "ui/Appearance.h"

namespace {

// The hues, named once. Subtitles share the accent's values.
constexpr Theme::Pair kAccent{0x0A7CC0, 0x4CBCEE};
constexpr Theme::Pair kAccentDeep{0x0A55A2, 0x8AC6EE};
constexpr Theme::Pair kAccentBright{0x00A6DE, 0x63D1F6};
constexpr Theme::Pair kIndigo{0x1F5FB4, 0x7FB6E8};
constexpr Theme::Pair kCyan{0x0C8E9C, 0x45C4D2};
constexpr Theme::Pair kAmber{0xC0761A, 0xE7A94A};
constexpr Theme::Pair kRed{0xD3302A, 0xF26A61};
constexpr Theme::Pair kTeal{0x0B879B, 0x45C0CF};
constexpr Theme::Pair kViolet{0x7A4FD0, 0xB597F2};
constexpr Theme::Pair kGold{0xB8860B, 0xE8C067};
constexpr Theme::Pair kSidebarTop{0xF8F8FA, 0x323336};
constexpr Theme::Pair kSidebarBottom{0xF3F3F6, 0x2C2E31};
constexpr Theme::Pair kFloating{0xF6F6F7, 0x303032};
constexpr Theme::Pair kBar{0xF2F2F3, 0x29292B};

QColor rgba(QRgb rgb, qreal opacity)
{
    QColor c(rgb);
    c.setAlphaF(float(opacity));
    return c;
}

} // namespace

bool Theme::isDark()
{
    return Appearance::instance().isDark();
}

QColor Theme::resolve(Pair pair)
{
    return QColor(isDark() ? pair.dark : pair.light);
}

QColor Theme::alpha(const QColor& color, qreal opacity)
{
    QColor c = color;
    c.setAlphaF(float(c.alphaF() * opacity));
    return c;
}

QColor Theme::accent() { return resolve(kAccent); }
QColor Theme::accentDeep() { return resolve(kAccentDeep); }
QColor Theme::accentBright() { return resolve(kAccentBright); }
QColor Theme::warning() { return resolve(kAmber); }
QColor Theme::danger() { return resolve(kRed); }
QColor Theme::positive() { return resolve(kCyan); }
QColor Theme::localizeAction() { return resolve(kTeal); }
QColor Theme::marketBadge() { return resolve(kIndigo); }
QColor Theme::purchase() { return resolve(kViolet); }
QColor Theme::marketFeatured() { return resolve(kGold); }
QColor Theme::priceFree() { return resolve(kTeal); }
QColor Theme::coverGradientEnd() { return resolve(kIndigo); }

QColor Theme::textPrimary() { return isDark() ? rgba(0xFFFFFF, 0.85) : rgba(0x000000, 0.85); }
QColor Theme::textSecondary() { return isDark() ? rgba(0xFFFFFF, 0.55) : rgba(0x000000, 0.5); }
QColor Theme::textTertiary() { return isDark() ? rgba(0xFFFFFF, 0.25) : rgba(0x000000, 0.26); }
QColor Theme::textOnAccent(qreal opacity) { return rgba(0xFFFFFF, opacity); }
QColor Theme::ink(qreal opacity) { return rgba(isDark() ? 0xFFFFFF : 0x000000, opacity); }

QColor Theme::cardBg() { return ink(0.05); }
QColor Theme::cardStroke() { return ink(0.075); }
QColor Theme::controlBgOver() { return ink(0.06); }
QColor Theme::controlBgDown() { return divider(); }
QColor Theme::capsuleBg() { return controlBgOver(); }
QColor Theme::selectionBg() { return alpha(accent(), 0.13); }
QColor Theme::divider() { return ink(0.1); }
QColor Theme::sidebarBgTop() { return resolve(kSidebarTop); }
QColor Theme::sidebarBgBottom() { return resolve(kSidebarBottom); }
QColor Theme::floatingBg() { return resolve(kFloating); }
QColor Theme::barBg() { return alpha(resolve(kBar), 0.96); }
QColor Theme::shadow(qreal opacity) { return rgba(0x000000, opacity); }
QColor Theme::scrim(qreal opacity) { return rgba(0x000000, opacity); }
QColor Theme::glint(qreal opacity) { return rgba(0xFFFFFF, opacity); }
QColor Theme::scrollKnob() { return isDark() ? rgba(0xFFFFFF, 0.26) : rgba(0x000000, 0.19); }
QColor Theme::scrollKnobDown() { return isDark() ? rgba(0xFFFFFF, 0.42) : rgba(0x000000, 0.32); }

QColor Theme::accentButtonBg() { return accent(); }
QColor Theme::accentButtonBgDown() { return accent().darker(115); }
QColor Theme::accentButtonBgDisabled() { return alpha(accent(), 0.55); }

QColor Theme::buttonFg(const QColor& tint)
{
    return tint.isValid() ? tint : textPrimary();
}

QColor Theme::buttonFgDisabled(const QColor& tint)
{
    return alpha(buttonFg(tint), 0.4);
}

QColor Theme::category(ZFCPluginType type)
{
    switch (type) {
    case ZFCPluginType::effect:
        return resolve(kIndigo);
    case ZFCPluginType::subtitle:
        return resolve(kAccent);
    case ZFCPluginType::generator:
        return resolve(kAccentBright);
    case ZFCPluginType::transitions:
        return resolve(kCyan);
    }
    return accent();
}

QColor Theme::cardAccent(CardAccent key)
{
    switch (key) {
    case CardAccent::purple: return resolve(kIndigo);
    case CardAccent::orange: return resolve(kAmber);
    case CardAccent::green: return resolve(kCyan);
    case CardAccent::teal: return resolve(kTeal);
    case CardAccent::red: return resolve(kRed);
    case CardAccent::brand: break;
    }
    return accent();
}

QColor Theme::pageDotCurrent() { return resolve(kTeal); }
QColor Theme::pictureBg() { return rgba(0xFFFFFF, 1.0); }
QColor Theme::onPicture(qreal opacity) { return rgba(0xFFFFFF, opacity); }

QColor Theme::avatarBg(int index)
{
    static constexpr Pair grounds[avatarBgCount]{kAccent, kAccentDeep, kAccentBright, kTeal, kIndigo};
    return resolve(index > 0 && index < avatarBgCount ? grounds[index] : kAccent);
}

QColor Theme::logoBgStart() { return QColor(0x2F9BE0); }
QColor Theme::logoBgEnd() { return QColor(0x17539F); }
QColor Theme::logoMark() { return QColor(0xE53329); }

QPalette Theme::qtPalette(bool darkAppearance)
{
    struct Values {
        QRgb window, base, alternateBase, text, button, light, mid, dark, shadow, tooltip,
            highlight, highlightedText, link, placeholder, disabledText, brightText;
    };
    static constexpr Values lightValues{0xECECEC, 0xFFFFFF, 0xF4F5F5, 0x1D1D1F, 0xFBFBFB,
                                        0xFFFFFF, 0xC8C8C8, 0xA0A0A0, 0x6E6E6E, 0xFFFFF0,
                                        kAccent.light, 0xFFFFFF, kAccent.light, 0x9A9A9E,
                                        0xA3A3A6, kRed.light};
    static constexpr Values darkValues{0x2B2B2D, 0x1E1E1F, 0x262628, 0xE8E8EA, 0x3A3A3C,
                                       0x4A4A4D, 0x2A2A2C, 0x1A1A1B, 0x000000, 0x3A3A3C,
                                       0x2A7FB4, 0xFFFFFF, kAccent.dark, 0x7C7C80,
                                       0x6C6C70, kRed.dark};
    const Values& v = darkAppearance ? darkValues : lightValues;
    QPalette p;
    p.setColor(QPalette::Window, QColor(v.window));
    p.setColor(QPalette::WindowText, QColor(v.text));
    p.setColor(QPalette::Base, QColor(v.base));
    p.setColor(QPalette::AlternateBase, QColor(v.alternateBase));
    p.setColor(QPalette::Text, QColor(v.text));
    p.setColor(QPalette::Button, QColor(v.button));
    p.setColor(QPalette::ButtonText, QColor(v.text));
    p.setColor(QPalette::BrightText, QColor(v.brightText));
    p.setColor(QPalette::Light, QColor(v.light));
    p.setColor(QPalette::Midlight, QColor(v.light));
    p.setColor(QPalette::Mid, QColor(v.mid));
    p.setColor(QPalette::Dark, QColor(v.dark));
    p.setColor(QPalette::Shadow, QColor(v.shadow));
    p.setColor(QPalette::ToolTipBase, QColor(v.tooltip));
    p.setColor(QPalette::ToolTipText, QColor(v.text));
    p.setColor(QPalette::Highlight, QColor(v.highlight));
    p.setColor(QPalette::HighlightedText, QColor(v.highlightedText));
    p.setColor(QPalette::Link, QColor(v.link));
    p.setColor(QPalette::LinkVisited, QColor(v.link));
    p.setColor(QPalette::PlaceholderText, QColor(v.placeholder));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(v.disabledText));
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(v.mid));
    return p;
}

qreal Theme::pointSizeForPixels(qreal pixels)
{
    qreal dpi = 96.0;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        dpi = screen->logicalDotsPerInchY();
    if (dpi <= 0)
        dpi = 96.0;
    return pixels * 72.0 / dpi;
}

QFont Theme::font(qreal points, QFont::Weight weight)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    QStringList families{f.family()};
    if (!families.contains(cjkFamily))
        families << cjkFamily;
    f.setFamilies(families);
    f.setPointSizeF(pointSizeForPixels(points));
    f.setWeight(weight);
    return f;
}

QFont Theme::displayFont() { return font(19, QFont::DemiBold); }
QFont Theme::pageTitleFont() { return font(16, QFont::DemiBold); }
QFont Theme::headingFont() { return font(15, QFont::DemiBold); }
QFont Theme::bodyFont() { return font(14); }
QFont Theme::bodyStrongFont() { return font(14, QFont::Medium); }
QFont Theme::calloutFont() { return font(13); }
QFont Theme::captionFont() { return font(12.5); }
QFont Theme::tinyFont() { return font(12); }
QFont Theme::sectionFont() { return font(11.5, QFont::DemiBold); }

void followColour(QWidget* widget, QPalette::ColorRole role, std::function<QColor()> colour)
{
    Appearance::follow(widget, [widget, role, colour = std::move(colour)] {
        QPalette p = widget->palette();
        p.setColor(role, colour());
        widget->setPalette(p);
    });
}

void makeProminent(QPushButton* button, const QColor& tint)
{
    QPalette p = button->palette();
    p.setColor(QPalette::Button, tint);
    p.setColor(QPalette::ButtonText, Theme::textOnAccent());
    p.setColor(QPalette::Disabled, QPalette::Button, Theme::alpha(tint, 0.4));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, Theme::textOnAccent(0.7));
    button->setPalette(p);
}

void noFocusRing(QWidget* widget)
{
    widget->setFocusPolicy(Qt::NoFocus);
    widget->setAttribute(Qt::WA_MacShowFocusRect, false);
}
