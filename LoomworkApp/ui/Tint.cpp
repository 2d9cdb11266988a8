#include "ui/Tint.h"

#include "ui/Appearance.h"
#include "ui/Palette.h"

namespace Tint {

QColor opacity(const QColor& color, qreal value)
{
    QColor c = color;
    c.setAlphaF(float(c.alphaF() * value));
    return c;
}

QColor white(qreal value)
{
    return opacity(QColor(Qt::white), value);
}

QColor black(qreal value)
{
    return opacity(QColor(Qt::black), value);
}

QColor primaryAt(qreal value)
{
    return Appearance::instance().isDark() ? white(value) : black(value);
}

QColor regularMaterial()
{
    return opacity(Palette::dynamic(0xF6F6F7, 0x303032), 0.97);
}

QColor barMaterial()
{
    return opacity(Palette::dynamic(0xF2F2F3, 0x29292B), 0.96);
}

} // namespace Tint
