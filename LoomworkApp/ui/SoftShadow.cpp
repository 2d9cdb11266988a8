#include "ui/SoftShadow.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPixmapCache>
#include <QWidget>

#include "ui/Theme.h"

namespace {

// Three box passes approximate a Gaussian; the alpha channel is all a shadow has.
void boxBlur(QImage& image, int radius)
{
    if (radius < 1)
        return;
    const int w = image.width();
    const int h = image.height();
    std::vector<int> line(std::max(w, h));
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y) {
            uchar* row = image.scanLine(y);
            for (int x = 0; x < w; ++x)
                line[x] = row[x];
            int sum = 0;
            for (int x = -radius; x <= radius; ++x)
                sum += line[std::clamp(x, 0, w - 1)];
            for (int x = 0; x < w; ++x) {
                row[x] = uchar(sum / (2 * radius + 1));
                sum += line[std::min(x + radius + 1, w - 1)] - line[std::max(x - radius, 0)];
            }
        }
        for (int x = 0; x < w; ++x) {
            for (int y = 0; y < h; ++y)
                line[y] = image.scanLine(y)[x];
            int sum = 0;
            for (int y = -radius; y <= radius; ++y)
                sum += line[std::clamp(y, 0, h - 1)];
            for (int y = 0; y < h; ++y) {
                image.scanLine(y)[x] = uchar(sum / (2 * radius + 1));
                sum += line[std::min(y + radius + 1, h - 1)] - line[std::max(y - radius, 0)];
            }
        }
    }
}

qreal marginFor(qreal blur)
{
    return std::ceil(blur * 2);
}

// The shape's alpha, `margin` device-independent pixels of room on every side, blurred
// and tinted.
template<typename Shape>
QPixmap makeShadow(QSize size, qreal blur, qreal dpr, Shape&& drawShape)
{
    const int margin = int(marginFor(blur));
    QImage alpha(QSize(size.width() + 2 * margin, size.height() + 2 * margin) * dpr, QImage::Format_Alpha8);
    alpha.fill(0);
    {
        QPainter p(&alpha);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        drawShape(p, QRectF(margin, margin, size.width(), size.height()));
    }
    // A box of blur/2 per pass gives about the spread of the platform's shadow radius.
    boxBlur(alpha, int(std::round(blur * dpr / 2)));
    QImage tinted(alpha.size(), QImage::Format_ARGB32_Premultiplied);
    tinted.fill(Theme::shadow(1));
    {
        QPainter p(&tinted);
        p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        p.drawImage(0, 0, alpha);
    }
    QPixmap pixmap = QPixmap::fromImage(tinted);
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

// A widget's last shadow and the size and state it was made for; dropped with the widget.
struct WidgetShadow
{
    QString madeFor;
    QPixmap pixmap;
};

WidgetShadow& shadowOf(const QWidget& widget)
{
    static QHash<const QWidget*, WidgetShadow> shadows;
    auto found = shadows.find(&widget);
    if (found == shadows.end()) {
        QObject::connect(&widget, &QObject::destroyed, [key = &widget] { shadows.remove(key); });
        found = shadows.insert(&widget, {});
    }
    return *found;
}

void drawShadow(QPainter& painter, const QPixmap& pixmap, QPointF topLeft, qreal blur, qreal dy, qreal opacity)
{
    const qreal margin = marginFor(blur);
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.drawPixmap(QPointF(topLeft.x() - margin, topLeft.y() - margin + dy), pixmap);
    painter.restore();
}

qreal ratioOf(const QPainter& painter)
{
    return painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
}

} // namespace

namespace SoftShadow {

void paint(QPainter& painter, const QRectF& rect, qreal radius, qreal blur, qreal dy, qreal opacity)
{
    if (rect.isEmpty() || opacity <= 0)
        return;
    const qreal dpr = ratioOf(painter);
    const QSize size = rect.size().toSize();
    const QString key = QStringLiteral("soft-shadow-%1x%2-%3-%4-%5")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(radius)
                            .arg(blur)
                            .arg(dpr);
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        pixmap = makeShadow(size, blur, dpr, [radius](QPainter& p, const QRectF& shape) {
            QPainterPath path;
            path.addRoundedRect(shape, radius, radius);
            p.fillPath(path, Qt::black);
        });
        QPixmapCache::insert(key, pixmap);
    }
    drawShadow(painter, pixmap, rect.topLeft(), blur, dy, opacity);
}

void paintUnder(QPainter& painter, QWidget& widget, qreal blur, qreal dy, qreal opacity)
{
    if (widget.size().isEmpty() || opacity <= 0 || widget.isHidden())
        return;
    const qreal dpr = ratioOf(painter);
    const QString state = QStringLiteral("%1x%2-%3-%4-%5-%6")
                              .arg(widget.width())
                              .arg(widget.height())
                              .arg(blur)
                              .arg(dpr)
                              .arg(widget.isEnabled())
                              .arg(Theme::isDark());
    WidgetShadow& shadow = shadowOf(widget);
    if (shadow.madeFor != state) {
        QImage picture(widget.size() * dpr, QImage::Format_ARGB32_Premultiplied);
        picture.setDevicePixelRatio(dpr);
        picture.fill(Qt::transparent);
        widget.render(&picture, QPoint(), QRegion(), QWidget::DrawChildren);
        shadow.pixmap = makeShadow(widget.size(), blur, dpr, [&picture](QPainter& p, const QRectF& at) {
            p.drawImage(at, picture);
        });
        shadow.madeFor = state;
    }
    drawShadow(painter, shadow.pixmap, widget.geometry().topLeft(), blur, dy, opacity);
}

} // namespace SoftShadow
