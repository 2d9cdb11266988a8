#include "ui/Chip.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

Chip::Chip(const QString& text, const QFont& font, ColorFn textColor, ColorFn fill, QWidget* parent)
    : QWidget(parent), m_text(text), m_font(font), m_textColor(std::move(textColor)), m_fill(std::move(fill))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Chip::setText(const QString& text)
{
    m_text = text;
    updateGeometry();
    update();
}

QSize Chip::sizeHint() const
{
    return sizeFor(m_text, m_font).toSize() + QSize(1, 0);
}

QSizeF Chip::sizeFor(const QString& text, const QFont& font)
{
    const QFontMetricsF fm(font);
    return {fm.horizontalAdvance(text) + 2 * kPadX, fm.height() + 2 * kPadY};
}

void Chip::paint(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                 const QColor& textColor, const QColor& fill)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath capsule;
    capsule.addRoundedRect(rect, rect.height() / 2, rect.height() / 2);
    painter.fillPath(capsule, fill);
    painter.setFont(font);
    painter.setPen(textColor);
    painter.drawText(rect, Qt::AlignCenter | Qt::TextSingleLine, text);
    painter.restore();
}

void Chip::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, QRectF(rect()), m_text, m_font, m_textColor(), m_fill());
}
