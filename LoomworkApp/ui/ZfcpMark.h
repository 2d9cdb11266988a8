#pragma once

#include <QWidget>

// The package mark: the shipped "zFCP.svg", else the "doc.zipper" symbol in the brand
// colour. `size` high, and as wide when square.
class ZfcpMark : public QWidget
{
    Q_OBJECT
public:
    explicit ZfcpMark(int size, bool square = true, QWidget* parent = nullptr);

    static void paintMark(QPainter& painter, const QRectF& rect);

protected:
    void paintEvent(QPaintEvent* event) override;
};
