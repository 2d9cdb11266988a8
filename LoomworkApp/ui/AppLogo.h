#pragma once

#include <QWidget>

// The application logo in a square of `size`: the shipped "logo.png", else drawn.
class AppLogo : public QWidget
{
    Q_OBJECT
public:
    explicit AppLogo(int size, QWidget* parent = nullptr);

    // The drawn logo in `rect` (used when no image is shipped).
    static void paintFallback(QPainter& painter, const QRectF& rect);
    // Corner radius of the drawn logo for a side of `side`.
    static qreal cornerRadius(qreal side) { return 0.18 * side; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
