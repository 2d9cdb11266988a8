#pragma once

#include <QWidget>

// The sidebar's background: a vertical gradient from Theme::sidebarBgTop to sidebarBottom.
class SidebarSurface : public QWidget
{
    Q_OBJECT
public:
    explicit SidebarSurface(QWidget* parent = nullptr);
    static void paintSurface(QPainter& painter, const QRectF& rect);

protected:
    void paintEvent(QPaintEvent* event) override;
};
