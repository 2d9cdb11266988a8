#include "ui/Surface.h"

#include <QWidget>

#include "ui/Appearance.h"
#include "ui/Palette.h"

namespace {

QColor primaryAt(qreal opacity)
{
    QColor c = Appearance::instance().isDark() ? QColor(Qt::white) : QColor(Qt::black);
    c.setAlphaF(float(opacity));
    return c;
}

} // namespace

QColor Surface::card() { return primaryAt(0.05); }
QColor Surface::cardStroke() { return primaryAt(0.075); }
QColor Surface::pill() { return primaryAt(0.06); }
QColor Surface::hover() { return primaryAt(0.06); }
QColor Surface::divider() { return primaryAt(0.1); }

QColor Surface::selection()
{
    QColor c = Palette::brand();
    c.setAlphaF(0.13f);
    return c;
}

QColor Surface::sidebarTop() { return Palette::dynamic(0xF8F8FA, 0x323336); }
QColor Surface::sidebarBottom() { return Palette::dynamic(0xF3F3F6, 0x2C2E31); }

void noFocusRing(QWidget* widget)
{
    widget->setFocusPolicy(Qt::NoFocus);
    widget->setAttribute(Qt::WA_MacShowFocusRect, false);
}
