#pragma once

#include <QWidget>

// A container drawn as a card: a rounded fill of Theme::cardBg with a 0.5 stroke of
// Theme::cardStroke inset by 0.5. Put the content in its layout.
class CardSurface : public QWidget
{
    Q_OBJECT
public:
    explicit CardSurface(qreal radius, QWidget* parent = nullptr);

    static void paintCard(QPainter& painter, const QRectF& rect, qreal radius);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal m_radius;
};
