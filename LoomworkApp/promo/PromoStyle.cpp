#include "promo/PromoStyle.h"

#include "ui/Appearance.h"
#include "ui/Palette.h"
#include "ui/Tint.h"

namespace {

bool dark()
{
    return Appearance::instance().isDark();
}

} // namespace

QColor PromoStyle::faded(const QColor& color, qreal opacity)
{
    return Tint::opacity(color, opacity);
}

QColor PromoStyle::scrim(qreal opacity)
{
    return Tint::black(opacity);
}

QColor PromoStyle::onPicture(qreal opacity)
{
    return Tint::white(opacity);
}

QColor PromoStyle::accent(PromoCard::Accent accent)
{
    switch (accent) {
    case PromoCard::Accent::purple: return Palette::purple();
    case PromoCard::Accent::orange: return Palette::orange();
    case PromoCard::Accent::green: return Palette::green();
    case PromoCard::Accent::teal: return Palette::teal();
    case PromoCard::Accent::red: return Palette::red();
    case PromoCard::Accent::brand: break;
    }
    return Palette::brand();
}

QColor PromoStyle::cardFill()
{
    return dark() ? onPicture(0.07) : Palette::dynamic(0xFFFFFF, 0x1E1E1E);
}

QColor PromoStyle::cardShadow()
{
    return scrim(dark() ? 0.0 : 0.07);
}

QColor PromoStyle::pillButtonFill()
{
    return Palette::primary();
}

QColor PromoStyle::pillButtonText()
{
    return dark() ? scrim(0.58) : onPicture(0.7);
}

QColor PromoStyle::picturePlate()
{
    return Tint::white();
}

QColor PromoStyle::onBrand()
{
    return Tint::white();
}

QString PromoStyle::displayCut(const QString& text, qsizetype maxChars)
{
    if (text.size() <= maxChars)
        return text;
    qsizetype cut = maxChars;
    if (text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QStringLiteral("…");
}

QString PromoStyle::plainToolTip(const QString& text)
{
    // Marked up on purpose, so that the escaped text is always read as markup and shown as is.
    return QStringLiteral("<p style='white-space:pre-wrap'>") + displayCut(text).toHtmlEscaped()
        + QStringLiteral("</p>");
}
