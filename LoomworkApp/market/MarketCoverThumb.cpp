#include "market/MarketCoverThumb.h"

#include <QPainter>
#include <QPainterPath>

#include "online/MarketService.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCoverCache.h"
#include "market/MarketPaint.h"

MarketCoverThumb::MarketCoverThumb(const std::optional<QString>& url, int width, QWidget* parent)
    : BaseButton(parent), m_width(width)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setFixedSize(width, heightFor(width));
    connect(&MarketCoverCache::shared(), &MarketCoverCache::imageReady, this, &MarketCoverThumb::onImageReady);
    setUrl(url);
}

int MarketCoverThumb::heightFor(int width)
{
    return MarketPaint::roundPoints(width / 1.6);
}

QSize MarketCoverThumb::sizeHint() const
{
    return {m_width, heightFor(m_width)};
}

void MarketCoverThumb::setUrl(const std::optional<QString>& url)
{
    const std::optional<QUrl> resolved = MarketService::absoluteURL(url);
    if (resolved == m_url)
        return;
    m_url = resolved;
    m_picture = QPixmap();
    update();
}

void MarketCoverThumb::onImageReady(const QUrl& url)
{
    if (m_url && *m_url == url && m_picture.isNull())
        update();
}

void MarketCoverThumb::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = rect();
    QPainterPath shape;
    shape.addRoundedRect(box, kRadius, kRadius);

    if (m_picture.isNull() && m_url) {
        const qreal dpr = devicePixelRatioF();
        const QSize pixels = (box.size() * dpr).toSize();
        const QImage image = MarketCoverCache::shared().image(*m_url, pixels);
        if (!image.isNull()) {
            const QImage filled = image.scaled(pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
            m_picture = QPixmap::fromImage(filled.copy((filled.width() - pixels.width()) / 2,
                                                       (filled.height() - pixels.height()) / 2, pixels.width(),
                                                       pixels.height()));
            m_picture.setDevicePixelRatio(dpr);
        }
    }
    painter.save();
    painter.setClipPath(shape);
    if (!m_picture.isNull()) {
        painter.drawPixmap(box.topLeft(), m_picture);
    } else {
        painter.fillPath(shape, Theme::capsuleBg());
        SymbolIcon::paint(painter, box, u"shippingbox", Theme::textTertiary(), 12);
    }
    painter.restore();
    painter.setBrush(Qt::NoBrush);
    if (isOver()) {
        painter.setPen(QPen(Theme::alpha(Theme::accent(), 0.45), 1));
        painter.drawRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), kRadius - 0.5, kRadius - 0.5);
    } else {
        painter.setPen(QPen(Theme::cardStroke(), 0.5));
        painter.drawRoundedRect(box.adjusted(0.25, 0.25, -0.25, -0.25), kRadius - 0.25, kRadius - 0.25);
    }
}
