#include "promo/PromoStyle.h"

#include "ui/SafeText.h"
#include "ui/Theme.h"

QColor PromoStyle::faded(const QColor& color, qreal opacity)
{
    return Theme::alpha(color, opacity);
}

QColor PromoStyle::scrim(qreal opacity)
{
    return Theme::scrim(opacity);
}

QColor PromoStyle::onPicture(qreal opacity)
{
    return Theme::onPicture(opacity);
}

QColor PromoStyle::accent(PromoCard::Accent accent)
{
    switch (accent) {
    case PromoCard::Accent::purple: return Theme::cardAccent(Theme::CardAccent::purple);
    case PromoCard::Accent::orange: return Theme::cardAccent(Theme::CardAccent::orange);
    case PromoCard::Accent::green: return Theme::cardAccent(Theme::CardAccent::green);
    case PromoCard::Accent::teal: return Theme::cardAccent(Theme::CardAccent::teal);
    case PromoCard::Accent::red: return Theme::cardAccent(Theme::CardAccent::red);
    case PromoCard::Accent::brand: break;
    }
    return Theme::cardAccent(Theme::CardAccent::brand);
}

QColor PromoStyle::cardFill()
{
    return Theme::isDark() ? Theme::onPicture(0.07) : Theme::pictureBg();
}

QColor PromoStyle::cardShadow()
{
    return Theme::shadow(Theme::isDark() ? 0.0 : 0.07);
}

QColor PromoStyle::pillButtonFill()
{
    return Theme::ink(1.0);
}

QColor PromoStyle::pillButtonText()
{
    return Theme::isDark() ? Theme::scrim(0.58) : Theme::onPicture(0.7);
}

QColor PromoStyle::picturePlate()
{
    return Theme::pictureBg();
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

QString PromoStyle::oneLine(const QString& text, qsizetype maxChars)
{
    return SafeText::singleLine(displayCut(text, maxChars));
}

QString PromoStyle::plainToolTip(const QString& text)
{
    return SafeText::toolTip(displayCut(text));
}
