#include "ui/F.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>

qreal F::pointSizeForPixels(qreal pixels)
{
    qreal dpi = 96.0;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        dpi = screen->logicalDotsPerInchY();
    if (dpi <= 0)
        dpi = 96.0;
    return pixels * 72.0 / dpi;
}

QFont F::font(qreal points, QFont::Weight weight)
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

QFont F::display() { return font(19, QFont::DemiBold); }
QFont F::pageTitle() { return font(16, QFont::DemiBold); }
QFont F::heading() { return font(15, QFont::DemiBold); }
QFont F::body() { return font(14); }
QFont F::bodyStrong() { return font(14, QFont::Medium); }
QFont F::callout() { return font(13); }
QFont F::caption() { return font(12.5); }
QFont F::tiny() { return font(12); }
QFont F::section() { return font(11.5, QFont::DemiBold); }
