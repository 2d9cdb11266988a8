#include "ui/Palette.h"

#include "ui/Appearance.h"

namespace {

QColor withAlpha(QRgb rgb, qreal alpha)
{
    QColor c(rgb);
    c.setAlphaF(float(alpha));
    return c;
}

bool dark()
{
    return Appearance::instance().isDark();
}

} // namespace

QColor Palette::Pair::resolve(bool dark) const
{
    return QColor(dark ? this->dark : light);
}

QColor Palette::dynamic(QRgb light, QRgb darkValue)
{
    return Pair{light, darkValue}.resolve(dark());
}

QColor Palette::brand() { return brandPair.resolve(dark()); }
QColor Palette::brandDeep() { return brandDeepPair.resolve(dark()); }
QColor Palette::brandBright() { return brandBrightPair.resolve(dark()); }
QColor Palette::purple() { return purplePair.resolve(dark()); }
QColor Palette::blue() { return bluePair.resolve(dark()); }
QColor Palette::green() { return greenPair.resolve(dark()); }
QColor Palette::orange() { return orangePair.resolve(dark()); }
QColor Palette::red() { return redPair.resolve(dark()); }
QColor Palette::teal() { return tealPair.resolve(dark()); }

QColor Palette::primary()
{
    return dark() ? withAlpha(0xFFFFFF, 0.85) : withAlpha(0x000000, 0.85);
}

QColor Palette::secondary()
{
    return dark() ? withAlpha(0xFFFFFF, 0.55) : withAlpha(0x000000, 0.5);
}

QColor Palette::tertiary()
{
    return dark() ? withAlpha(0xFFFFFF, 0.25) : withAlpha(0x000000, 0.26);
}

QColor Palette::category(ZFCPluginType type)
{
    switch (type) {
    case ZFCPluginType::effect:
        return purple();
    case ZFCPluginType::subtitle:
        return blue();
    case ZFCPluginType::generator:
        return brandBright();
    case ZFCPluginType::transitions:
        return green();
    }
    return brand();
}

QPalette Palette::qtPalette(bool darkAppearance)
{
    struct Values {
        QRgb window, base, alternateBase, text, button, light, mid, dark, shadow, tooltip,
            highlight, highlightedText, link, placeholder, disabledText;
    };
    static constexpr Values lightValues{0xECECEC, 0xFFFFFF, 0xF4F5F5, 0x1D1D1F, 0xFBFBFB,
                                        0xFFFFFF, 0xC8C8C8, 0xA0A0A0, 0x6E6E6E, 0xFFFFF0,
                                        brandPair.light, 0xFFFFFF, brandPair.light, 0x9A9A9E,
                                        0xA3A3A6};
    static constexpr Values darkValues{0x2B2B2D, 0x1E1E1F, 0x262628, 0xE8E8EA, 0x3A3A3C,
                                       0x4A4A4D, 0x2A2A2C, 0x1A1A1B, 0x000000, 0x3A3A3C,
                                       0x2A7FB4, 0xFFFFFF, brandPair.dark, 0x7C7C80,
                                       0x6C6C70};
    const Values& v = darkAppearance ? darkValues : lightValues;

    QPalette p;
    p.setColor(QPalette::Window, QColor(v.window));
    p.setColor(QPalette::WindowText, QColor(v.text));
    p.setColor(QPalette::Base, QColor(v.base));
    p.setColor(QPalette::AlternateBase, QColor(v.alternateBase));
    p.setColor(QPalette::Text, QColor(v.text));
    p.setColor(QPalette::Button, QColor(v.button));
    p.setColor(QPalette::ButtonText, QColor(v.text));
    p.setColor(QPalette::BrightText, QColor(redPair.resolve(darkAppearance)));
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
