#include "market/MarketCarousel.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include "online/MarketService.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCoverCache.h"
#include "market/MarketPaint.h"

namespace {

constexpr qreal kTextPad = 18;
constexpr qreal kControlsPadX = 9;
constexpr qreal kControlsPadY = 4;
constexpr qreal kControlsInset = 12;
constexpr qreal kArrowSide = 12;
constexpr qreal kDotGap = 5;
constexpr qreal kCurrentDot = 7;
constexpr qreal kOtherDot = 5;
constexpr int kSlideMs = 260;

QFont tagFont() { return Theme::font(10.5, QFont::Medium); }
QFont nameFont() { return Theme::font(19, QFont::DemiBold); }
QFont priceFont() { return Theme::font(13, QFont::DemiBold); }

QColor tagColor(const QString& tag)
{
    if (tag == QStringLiteral("置顶推荐"))
        return Theme::marketFeatured();
    if (tag == QStringLiteral("已拥有"))
        return Theme::positive();
    return Theme::priceFree();
}

QString tagSymbol(const QString& tag)
{
    if (tag == QStringLiteral("置顶推荐"))
        return QStringLiteral("pin.fill");
    if (tag == QStringLiteral("已拥有"))
        return QStringLiteral("checkmark.seal.fill");
    return {};
}

} // namespace

MarketCarousel::MarketCarousel(QWidget* parent) : QWidget(parent), m_animation(new QVariantAnimation(this))
{
    setFixedHeight(kHeight);
    setCursor(Qt::PointingHandCursor);
    m_animation->setDuration(kSlideMs);
    m_animation->setEasingCurve(QEasingCurve::InOutCubic);
    connect(m_animation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_offset = value.toReal();
        update();
    });
    connect(&MarketCoverCache::shared(), &MarketCoverCache::imageReady, this, [this] { update(); });
}

void MarketCarousel::setFeatured(const QList<MarketPlugin>& featured, int index)
{
    if (featured != m_featured) {
        m_featured = featured;
        m_pictures.clear();
        m_animation->stop();
        m_offset = index;
    }
    if (index != m_index) {
        m_index = index;
        m_animation->stop();
        m_animation->setStartValue(m_offset);
        m_animation->setEndValue(qreal(index));
        m_animation->start();
    }
    update();
}

QStringList MarketCarousel::tags(const MarketPlugin& plugin)
{
    QStringList list{QStringLiteral("置顶推荐")};
    if (plugin.owned == true)
        list << QStringLiteral("已拥有");
    const std::optional<qint64> price = plugin.effectivePrice();
    if (!price || *price <= 0)
        list << QStringLiteral("免费");
    return list;
}

QString MarketCarousel::priceText(const MarketPlugin& plugin)
{
    if (plugin.owned == true)
        return QStringLiteral("已购买");
    return MarketPlugin::money(plugin.effectivePrice().value_or(0));
}

int MarketCarousel::stepForDrag(qreal dx)
{
    if (dx < -kDragStep)
        return 1;
    if (dx > kDragStep)
        return -1;
    return 0;
}

void MarketCarousel::resizeEvent(QResizeEvent* event)
{
    m_pictures.clear();
    QWidget::resizeEvent(event);
}

QRectF MarketCarousel::controlsRect() const
{
    const qreal dotsW = m_featured.size() * kOtherDot + (kCurrentDot - kOtherDot) + std::max<qsizetype>(0, m_featured.size() - 1) * kDotGap;
    const qreal w = 2 * kControlsPadX + kArrowSide + 6 + dotsW + 6 + kArrowSide;
    const qreal h = 2 * kControlsPadY + kArrowSide;
    return QRectF(width() - kControlsInset - w, height() - kControlsInset - h, w, h);
}

QRectF MarketCarousel::leftArrowRect() const
{
    const QRectF c = controlsRect();
    return QRectF(c.left() + kControlsPadX, c.top() + kControlsPadY, kArrowSide, kArrowSide);
}

QRectF MarketCarousel::rightArrowRect() const
{
    const QRectF c = controlsRect();
    return QRectF(c.right() - kControlsPadX - kArrowSide, c.top() + kControlsPadY, kArrowSide, kArrowSide);
}

QRectF MarketCarousel::dotRect(int i) const
{
    qreal x = leftArrowRect().right() + 6;
    for (int k = 0; k < i; ++k)
        x += (k == m_index ? kCurrentDot : kOtherDot) + kDotGap;
    const qreal side = i == m_index ? kCurrentDot : kOtherDot;
    const qreal cy = controlsRect().center().y();
    return QRectF(x, cy - side / 2, side, side);
}

QPixmap MarketCarousel::picture(int i, QSize pixels)
{
    if (const auto it = m_pictures.constFind(i); it != m_pictures.cend())
        return *it;
    const MarketPlugin& plugin = m_featured.at(i);
    const bool banner = plugin.bannerUrl && !plugin.bannerUrl->isEmpty();
    const std::optional<QUrl> url = MarketService::absoluteURL(banner ? plugin.bannerUrl : plugin.coverUrl);
    if (!url)
        return {};
    const QImage image = MarketCoverCache::shared().image(*url, pixels);
    if (image.isNull())
        return {};
    const QImage filled = image.scaled(pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    QPixmap pixmap = QPixmap::fromImage(filled.copy((filled.width() - pixels.width()) / 2,
                                                    (filled.height() - pixels.height()) / 2, pixels.width(),
                                                    pixels.height()));
    pixmap.setDevicePixelRatio(devicePixelRatioF());
    m_pictures.insert(i, pixmap);
    return pixmap;
}

void MarketCarousel::paintCard(QPainter& painter, const QRectF& rect, int i)
{
    const MarketPlugin& plugin = m_featured.at(i);
    painter.save();
    QPainterPath shape;
    shape.addRoundedRect(rect, kRadius, kRadius);
    painter.setClipPath(shape, Qt::IntersectClip);
    const QPixmap pixmap = picture(i, (rect.size() * devicePixelRatioF()).toSize());
    if (!pixmap.isNull()) {
        painter.drawPixmap(rect.topLeft(), pixmap);
    } else {
        QLinearGradient gradient(rect.topLeft(), rect.bottomRight());
        gradient.setColorAt(0, Theme::alpha(Theme::accent(), 0.35));
        gradient.setColorAt(1, Theme::alpha(Theme::coverGradientEnd(), 0.28));
        painter.fillRect(rect, gradient);
    }
    QLinearGradient shade(rect.bottomLeft(), rect.topLeft());
    shade.setColorAt(0, Theme::shadow(0.74));
    shade.setColorAt(0.5, Theme::shadow(0.14));
    shade.setColorAt(1, Theme::shadow(0));
    painter.fillRect(rect, shade);

    // The text block, bottom-leading, built upwards from the price row.
    const QRectF text = rect.adjusted(kTextPad, kTextPad, -kTextPad, -kTextPad);
    const qreal priceH = QFontMetricsF(priceFont()).height();
    qreal bottom = text.bottom();
    const QRectF priceRow(text.left(), bottom - priceH, text.width(), priceH);
    const QString price = priceText(plugin);
    qreal x = priceRow.left();
    const qreal priceW = QFontMetricsF(priceFont()).horizontalAdvance(price);
    MarketPaint::elidedText(painter, QRectF(x, priceRow.top(), priceW + 1, priceH), price, priceFont(), Qt::white);
    x += priceW + 8;
    if (plugin.owned != true) {
        if (const std::optional<QString> original = plugin.originalPriceText()) {
            QFont struck = Theme::tinyFont();
            struck.setStrikeOut(true);
            const qreal w = QFontMetricsF(struck).horizontalAdvance(*original);
            MarketPaint::elidedText(painter, QRectF(x, priceRow.top(), w + 1, priceH), *original, struck, Theme::textOnAccent(0.6));
            x += w + 8;
        }
    }
    MarketPaint::elidedText(painter, QRectF(x, priceRow.top(), std::max<qreal>(0, priceRow.right() - x), priceH),
                            QStringLiteral("查看详情 ›"), Theme::tinyFont(), Theme::textOnAccent(0.8));
    bottom = priceRow.top() - 5;

    const QString subtitle = plugin.subtitle.value_or(QString());
    if (!subtitle.isEmpty()) {
        const qreal h = QFontMetricsF(Theme::captionFont()).height();
        MarketPaint::elidedText(painter, QRectF(text.left(), bottom - h, text.width(), h), subtitle, Theme::captionFont(),
                                Theme::textOnAccent(0.86));
        bottom -= h + 5;
    }
    const qreal nameH = QFontMetricsF(nameFont()).height();
    MarketPaint::elidedText(painter, QRectF(text.left(), bottom - nameH, text.width(), nameH), plugin.name, nameFont(),
                            Qt::white);
    bottom -= nameH + 5;

    const QFontMetricsF tm(tagFont());
    const qreal tagH = tm.height() + 5;
    qreal tx = text.left();
    for (const QString& tag : tags(plugin)) {
        const QString symbol = tagSymbol(tag);
        const qreal w = 14 + (symbol.isEmpty() ? 0 : 12) + tm.horizontalAdvance(tag);
        const QRectF box(tx, bottom - tagH, w, tagH);
        painter.setPen(Qt::NoPen);
        painter.setBrush(tagColor(tag));
        painter.drawRoundedRect(box, tagH / 2, tagH / 2);
        qreal ix = box.left() + 7;
        if (!symbol.isEmpty()) {
            SymbolIcon::paint(painter, QRectF(ix, box.top(), 9, tagH), symbol, Qt::white, 9);
            ix += 12;
        }
        MarketPaint::elidedText(painter, QRectF(ix, box.top(), box.right() - ix, tagH), tag, tagFont(), Qt::white);
        tx += w + 6;
    }
    painter.restore();
}

void MarketCarousel::paintEvent(QPaintEvent*)
{
    if (m_featured.isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath strip;
    strip.addRoundedRect(rect(), kRadius, kRadius);
    painter.setClipPath(strip);
    const qreal step = width() + kCardSpacing;
    for (int i = 0; i < m_featured.size(); ++i) {
        const qreal x = (i - m_offset) * step;
        if (x + width() <= 0 || x >= width())
            continue;
        paintCard(painter, QRectF(x, 0, width(), height()), i);
    }
    if (m_featured.size() < 2)
        return;

    const QRectF controls = controlsRect();
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::shadow(0.34));
    painter.drawRoundedRect(controls, controls.height() / 2, controls.height() / 2);
    const QColor ink = Theme::textOnAccent(0.9);
    const QColor dim = Theme::textOnAccent(0.35);
    SymbolIcon::paint(painter, leftArrowRect(), u"chevron.left", m_index < 1 ? dim : ink, 9);
    SymbolIcon::paint(painter, rightArrowRect(), u"chevron.right", m_index >= m_featured.size() - 1 ? dim : ink, 9);
    for (int i = 0; i < m_featured.size(); ++i) {
        painter.setBrush(i == m_index ? Theme::accent() : Theme::textOnAccent(0.5));
        painter.drawEllipse(dotRect(i));
    }
}

void MarketCarousel::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_pressPos = event->position();
    m_pressed = true;
}

void MarketCarousel::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_pressed || event->button() != Qt::LeftButton)
        return;
    m_pressed = false;
    const QPointF delta = event->position() - m_pressPos;
    if (delta.manhattanLength() >= kDragMinimum) {
        // Only a drag's end counts; it steps only between several plug-ins.
        if (const int step = stepForDrag(delta.x()); step != 0 && m_featured.size() > 1)
            emit stepRequested(step);
        return;
    }
    const QPointF pos = event->position();
    if (m_featured.size() > 1) {
        const QRectF hitLeft = leftArrowRect().adjusted(-4, -4, 4, 4);
        const QRectF hitRight = rightArrowRect().adjusted(-4, -4, 4, 4);
        if (hitLeft.contains(pos)) {
            if (m_index >= 1)
                emit stepRequested(-1);
            return;
        }
        if (hitRight.contains(pos)) {
            if (m_index < m_featured.size() - 1)
                emit stepRequested(1);
            return;
        }
        for (int i = 0; i < m_featured.size(); ++i) {
            if (dotRect(i).adjusted(-3, -3, 3, 3).contains(pos)) {
                emit indexRequested(i);
                return;
            }
        }
        if (controlsRect().contains(pos))
            return;
    }
    if (m_index >= 0 && m_index < m_featured.size())
        emit pluginClicked(m_featured.at(m_index));
}
