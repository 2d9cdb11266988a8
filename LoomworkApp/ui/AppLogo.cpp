#include "ui/AppLogo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "ui/AppResources.h"
#include "ui/Theme.h"

AppLogo::AppLogo(int size, QWidget* parent) : QWidget(parent)
{
    setFixedSize(size, size);
    setAccessibleName(QString());
}

void AppLogo::paintFallback(QPainter& painter, const QRectF& rect)
{
    const qreal s = std::min(rect.width(), rect.height());
    const QRectF square(rect.center().x() - s / 2, rect.center().y() - s / 2, s, s);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(square.topLeft(), square.bottomRight());
    gradient.setColorAt(0, Theme::logoBgStart());
    gradient.setColorAt(1, Theme::logoBgEnd());
    QPainterPath tile;
    tile.addRoundedRect(square, cornerRadius(s), cornerRadius(s));
    painter.fillPath(tile, gradient);

    const QPointF c = square.center();
    const QSizeF page(0.44 * s, 0.62 * s);
    painter.fillRect(QRectF(QPointF(c.x() - page.width() / 2 - 0.06 * s,
                                    c.y() - page.height() / 2 + 0.02 * s),
                            page),
                     Qt::white);
    const qreal mark = 0.26 * s;
    painter.fillRect(QRectF(c.x() - mark / 2 - 0.05 * s, c.y() - mark / 2, mark, mark),
                     Theme::logoMark());
    painter.restore();
}

void AppLogo::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    static const QImage logo = AppResources::image(QStringLiteral("logo"), QStringLiteral("png"));
    if (!logo.isNull()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const QSize fitted = logo.size().scaled(size(), Qt::KeepAspectRatio);
        p.drawImage(QRect(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted), logo);
        return;
    }
    paintFallback(p, rect());
}
