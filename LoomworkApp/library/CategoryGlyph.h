#pragma once

#include <QColor>
#include <QPainterPath>
#include <QWidget>

#include "LoomworkKit/ZFCPluginType.h"

// The line icon of a plug-in category, stroked with round caps and joins.
class CategoryGlyph : public QWidget
{
    Q_OBJECT
public:
    // An invalid colour means the category's own colour.
    CategoryGlyph(ZFCPluginType type, int size, QColor color = {}, qreal lineWidth = 1.5,
                  QWidget* parent = nullptr);

    // The category's outline in `rect`.
    static QPainterPath path(ZFCPluginType type, const QRectF& rect);
    static void paintGlyph(QPainter& painter, ZFCPluginType type, const QRectF& rect,
                           const QColor& color, qreal lineWidth);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ZFCPluginType m_type;
    QColor m_color;
    qreal m_lineWidth;
};
