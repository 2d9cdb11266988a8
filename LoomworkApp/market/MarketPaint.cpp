#include "market/MarketPaint.h"

#include <cmath>

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPixmapCache>

#include "ui/SafeText.h"

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

} // namespace

namespace MarketPaint {

void shadow(QPainter& painter, const QRectF& rect, qreal radius, qreal blur, qreal dy, qreal opacity)
{
    if (rect.isEmpty() || opacity <= 0)
        return;
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QSize size = rect.size().toSize();
    const QString key = QStringLiteral("market-shadow-%1x%2-%3-%4-%5")
                            .arg(size.width())
                            .arg(size.height())
                            .arg(radius)
                            .arg(blur)
                            .arg(dpr);
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        const int margin = int(std::ceil(blur * 2));
        QImage alpha(QSize(size.width() + 2 * margin, size.height() + 2 * margin) * dpr, QImage::Format_Alpha8);
        alpha.fill(0);
        {
            QPainter p(&alpha);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(dpr, dpr);
            QPainterPath path;
            path.addRoundedRect(QRectF(margin, margin, size.width(), size.height()), radius, radius);
            p.fillPath(path, Qt::black);
        }
        // A box of blur/2 per pass gives about the spread of the platform's shadow radius.
        boxBlur(alpha, int(std::round(blur * dpr / 2)));
        QImage tinted(alpha.size(), QImage::Format_ARGB32_Premultiplied);
        tinted.fill(Qt::black);
        {
            QPainter p(&tinted);
            p.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            p.drawImage(0, 0, alpha);
        }
        pixmap = QPixmap::fromImage(tinted);
        pixmap.setDevicePixelRatio(dpr);
        QPixmapCache::insert(key, pixmap);
    }
    const qreal margin = std::ceil(blur * 2);
    painter.save();
    painter.setOpacity(painter.opacity() * opacity);
    painter.drawPixmap(QPointF(rect.left() - margin, rect.top() - margin + dy), pixmap);
    painter.restore();
}

void elidedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font, const QColor& color,
                Qt::Alignment align)
{
    const QFontMetricsF metrics(font);
    // Server text is drawn as plain characters on one line, without direction overrides.
    const QString line = SafeText::singleLine(text);
    painter.save();
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(rect, int(align) | Qt::TextSingleLine, metrics.elidedText(line, Qt::ElideRight, rect.width()));
    painter.restore();
}

int roundPoints(qreal value)
{
    return int(std::round(value)); // std::round rounds halves away from zero
}

} // namespace MarketPaint
