
#include <QLinearGradient>
#include <QPainter>

#include "ui/SidebarSurface.h"
#include "ui/Theme.h"

SidebarSurface::SidebarSurface(QWidget* parent) : QWidget(parent) {}

void SidebarSurface::paintSurface(QPainter& painter, const QRectF& rect)
{
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, Theme::sidebarBgTop());
    gradient.setColorAt(1, Theme::sidebarBgBottom());
    painter.fillRect(rect, gradient);
}

void SidebarSurface::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintSurface(p, QRectF(rect()));
}
