#include "sheets/LineList.h"

#include <algorithm>

#include <QPainter>

#include "ui/SafeText.h"

LineList::LineList(int padding, int spacing, QWidget* parent) : QListView(parent)
{
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setUniformItemSizes(true);
    // The last line's spacing already sits below it.
    setViewportMargins(padding, padding, padding, padding - spacing);
    setAutoFillBackground(false);
    viewport()->setAutoFillBackground(false);
}

int LineList::count() const
{
    return model() ? model()->rowCount() : 0;
}

QSize LineDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return {10, lineHeight() + m_spacing};
}

void LineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // The spacing sits below each line.
    const QRectF line = QRectF(option.rect).adjusted(0, 0, 0, -m_spacing);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    paintLine(*painter, line, index.row());
    painter->restore();
}

void LineDelegate::paintText(QPainter& painter, const QRectF& line, qreal left, qreal width, const QString& text,
                             const QFont& font, const QColor& color)
{
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QRectF(left, line.top(), width + 1, line.height()),
                     Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, text);
}

qreal LineDelegate::paintElided(QPainter& painter, const QRectF& line, qreal left, qreal room, const QString& text,
                                const QFont& font, const QColor& color)
{
    room = std::max<qreal>(0, room);
    const QFontMetricsF metrics(font);
    // Names come from packages: one line, no direction overrides.
    const QString elided = metrics.elidedText(SafeText::singleLine(text), Qt::ElideRight, room);
    const qreal width = std::min(metrics.horizontalAdvance(elided), room);
    paintText(painter, line, left, width, elided, font, color);
    return width;
}
