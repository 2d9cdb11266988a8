#include "library/CategoryGlyph.h"

#include <QPainter>

#include "ui/Theme.h"

CategoryGlyph::CategoryGlyph(ZFCPluginType type, int size, QColor color, qreal lineWidth,
                             QWidget* parent)
    : QWidget(parent), m_type(type), m_color(color), m_lineWidth(lineWidth)
{
    setFixedSize(size, size);
}

QPainterPath CategoryGlyph::path(ZFCPluginType type, const QRectF& rect)
{
    const qreal X = rect.x(), Y = rect.y(), W = rect.width(), H = rect.height();
    const qreal m = std::min(W, H);
    auto pt = [&](qreal a, qreal b) { return QPointF(X + a * W, Y + b * H); };
    QPainterPath p;
    switch (type) {
    case ZFCPluginType::effect: {
        const qreal r = 0.14 * m;
        p.addRoundedRect(QRectF(pt(0.36, 0.04), QSizeF(0.63 * W, 0.62 * H)), r, r);
        p.addRoundedRect(QRectF(pt(0.01, 0.32), QSizeF(0.63 * W, 0.62 * H)), r, r);
        break;
    }
    case ZFCPluginType::subtitle:
        p.moveTo(pt(0.22, 0.04));
        p.lineTo(pt(0.05, 0.04));
        p.lineTo(pt(0.05, 0.96));
        p.lineTo(pt(0.22, 0.96));
        p.moveTo(pt(0.78, 0.04));
        p.lineTo(pt(0.95, 0.04));
        p.lineTo(pt(0.95, 0.96));
        p.lineTo(pt(0.78, 0.96));
        p.moveTo(pt(0.3, 0.26));
        p.lineTo(pt(0.7, 0.26));
        p.moveTo(pt(0.5, 0.26));
        p.lineTo(pt(0.5, 0.78));
        break;
    case ZFCPluginType::generator: {
        const qreal r = 0.22 * m;
        p.addRoundedRect(QRectF(pt(0.04, 0.04), QSizeF(0.92 * W, 0.92 * H)), r, r);
        p.moveTo(pt(0.5, 0.27));
        p.lineTo(pt(0.72, 0.5));
        p.lineTo(pt(0.5, 0.73));
        p.lineTo(pt(0.28, 0.5));
        p.closeSubpath();
        break;
    }
    case ZFCPluginType::transitions:
        p.moveTo(pt(0.05, 0.13));
        p.lineTo(pt(0.05, 0.87));
        p.lineTo(pt(0.47, 0.5));
        p.closeSubpath();
        p.moveTo(pt(0.95, 0.13));
        p.lineTo(pt(0.95, 0.87));
        p.lineTo(pt(0.53, 0.5));
        p.closeSubpath();
        break;
    }
    return p;
}

void CategoryGlyph::paintGlyph(QPainter& painter, ZFCPluginType type, const QRectF& rect,
                               const QColor& color, qreal lineWidth)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path(type, rect));
    painter.restore();
}

void CategoryGlyph::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QColor color = m_color.isValid() ? m_color : Theme::category(m_type);
    paintGlyph(p, m_type, QRectF(rect()), color, m_lineWidth);
}
