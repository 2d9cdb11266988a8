#include "market/MarketCard.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include "online/MarketService.h"
#include "ui/Chip.h"
#include "ui/SafeText.h"
#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCoverCache.h"
#include "market/MarketPaint.h"

namespace {

constexpr qreal kPadX = 11;
constexpr qreal kPadY = 10;
constexpr qreal kLineGap = 5;
constexpr qreal kBadgeInset = 8;
constexpr qreal kBarHeight = 3;
constexpr int kHoverMs = 140;

QFont nameFont() { return Theme::font(13.5, QFont::DemiBold); }
QFont statusFont() { return Theme::font(12.5, QFont::DemiBold); }
QFont stageFont() { return Theme::font(11.5, QFont::Medium); }
QFont pillFont() { return Theme::font(10); }
QFont badgeFont() { return Theme::font(10, QFont::DemiBold); }

bool isFree(const MarketPlugin& plugin)
{
    const std::optional<qint64> price = plugin.effectivePrice();
    return !price || *price < 1;
}

} // namespace

MarketCard::MarketCard(QWidget* parent) : BaseButton(parent), m_hoverAnimation(new QVariantAnimation(this))
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    m_hoverAnimation->setDuration(kHoverMs);
    m_hoverAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_hoverAnimation, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        m_hover = value.toReal();
        update();
    });
    connect(&MarketCoverCache::shared(), &MarketCoverCache::imageReady, this, &MarketCard::onImageReady);
}

void MarketCard::setPlugin(const MarketPlugin& plugin)
{
    if (plugin == m_plugin)
        return;
    const bool newCover = plugin.coverUrl != m_plugin.coverUrl;
    m_plugin = plugin;
    setAccessibleName(plugin.name);
    if (newCover) {
        m_coverUrl = MarketService::absoluteURL(plugin.coverUrl);
        m_cover = QPixmap();
    }
    m_face = QPixmap();
    update();
}

void MarketCard::setStage(const MarketInstallStage& stage)
{
    if (stage == m_stage)
        return;
    m_stage = stage;
    m_face = QPixmap();
    update();
}

void MarketCard::setInstalled(bool installed)
{
    if (installed == m_installed)
        return;
    m_installed = installed;
    m_face = QPixmap();
    update();
}

int MarketCard::cardHeight(int width)
{
    const qreal cover = width / kCoverAspect;
    const qreal text = kPadY + QFontMetricsF(nameFont()).height() + kLineGap + QFontMetricsF(Theme::tinyFont()).height()
                       + kLineGap + std::max(QFontMetricsF(statusFont()).height(), QFontMetricsF(pillFont()).height() + 3)
                       + kPadY;
    return int(std::ceil(cover + text));
}

QStringList MarketCard::badges() const
{
    QStringList list;
    if (m_plugin.owned == true)
        list << QStringLiteral("已拥有");
    else if (isFree(m_plugin))
        list << QStringLiteral("免费");
    if (m_plugin.featured == true)
        list << QStringLiteral("置顶");
    return list;
}

QString MarketCard::statusText() const
{
    if (m_stage.isBusy())
        return m_stage.title();
    if (m_installed && m_plugin.owned == true)
        return QStringLiteral("已安装");
    if (m_plugin.owned == true)
        return QStringLiteral("已购买");
    return MarketPlugin::money(m_plugin.effectivePrice().value_or(0));
}

QRectF MarketCard::cardRect() const
{
    return QRectF(rect()).adjusted(kMargin, kMargin, -kMargin, -kMargin);
}

bool MarketCard::hitButton(const QPoint& pos) const
{
    QPainterPath path;
    path.addRoundedRect(cardRect(), kRadius, kRadius);
    return path.contains(pos);
}

void MarketCard::resizeEvent(QResizeEvent* event)
{
    m_cover = QPixmap();
    m_face = QPixmap();
    BaseButton::resizeEvent(event);
}

void MarketCard::onStateChanged(State previous)
{
    if (state().over != previous.over) {
        // Hover changes ease out over 0.14 s.
        m_hoverAnimation->stop();
        m_hoverAnimation->setStartValue(m_hover);
        m_hoverAnimation->setEndValue(state().over ? 1.0 : 0.0);
        m_hoverAnimation->start();
    }
    update();
}

void MarketCard::onImageReady(const QUrl& url)
{
    if (m_coverUrl && *m_coverUrl == url && m_cover.isNull()) {
        m_face = QPixmap();
        update();
    }
}

void MarketCard::paintCover(QPainter& painter, const QRectF& rect)
{
    const qreal dpr = devicePixelRatioF();
    const QSize pixels = (rect.size() * dpr).toSize();
    if (m_cover.isNull() && m_coverUrl) {
        const QImage image = MarketCoverCache::shared().image(*m_coverUrl, pixels);
        if (!image.isNull()) {
            // Cut once to the cover's own size: painting is then a plain copy.
            const QImage filled = image.scaled(pixels, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
            const QRect crop((filled.width() - pixels.width()) / 2, (filled.height() - pixels.height()) / 2,
                             pixels.width(), pixels.height());
            m_cover = QPixmap::fromImage(filled.copy(crop));
            m_cover.setDevicePixelRatio(dpr);
        }
    }
    if (!m_cover.isNull()) {
        painter.drawPixmap(rect.topLeft(), m_cover);
        return;
    }
    QLinearGradient gradient(rect.topLeft(), rect.bottomRight());
    gradient.setColorAt(0, Theme::alpha(Theme::accent(), 0.16));
    gradient.setColorAt(1, Theme::alpha(Theme::coverGradientEnd(), 0.13));
    painter.fillRect(rect, gradient);
    SymbolIcon::paint(painter, rect, u"shippingbox", Theme::alpha(Theme::accent(), 0.55), 20);
}

void MarketCard::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        m_face = QPixmap();
    BaseButton::changeEvent(event);
}

void MarketCard::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF card = cardRect();

    // Resting and hovered shadows cross-fade with the hover animation.
    SoftShadow::paint(painter, card, kRadius, 3, 1, 0.04 * (1 - m_hover));
    SoftShadow::paint(painter, card, kRadius, 9, 4, 0.10 * m_hover);

    if (m_hover > 0) {
        const qreal scale = 1 + 0.008 * m_hover;
        painter.translate(card.center());
        painter.scale(scale, scale);
        painter.translate(-card.center());
    }
    // Everything but the shadow and the border is drawn once into the face and then copied.
    if (m_face.isNull() || m_face.size() != (card.size() * devicePixelRatioF()).toSize()) {
        const qreal dpr = devicePixelRatioF();
        m_face = QPixmap((card.size() * dpr).toSize());
        m_face.setDevicePixelRatio(dpr);
        m_face.fill(Qt::transparent);
        QPainter face(&m_face);
        face.setRenderHint(QPainter::Antialiasing);
        paintFace(face, QRectF(QPointF(0, 0), card.size()));
    }
    painter.drawPixmap(card.topLeft(), m_face);

    // Border inside the edge.
    painter.setBrush(Qt::NoBrush);
    const QColor stroke = m_hover > 0.5 ? Theme::alpha(Theme::accent(), 0.45) : Theme::cardStroke();
    painter.setPen(QPen(stroke, 1));
    painter.drawRoundedRect(card.adjusted(0.5, 0.5, -0.5, -0.5), kRadius - 0.5, kRadius - 0.5);
}

void MarketCard::paintFace(QPainter& painter, const QRectF& card)
{
    QPainterPath shape;
    shape.addRoundedRect(card, kRadius, kRadius);
    painter.fillPath(shape, palette().color(QPalette::Base));

    painter.save();
    painter.setClipPath(shape);
    const QRectF cover(card.topLeft(), QSizeF(card.width(), card.width() / kCoverAspect));
    paintCover(painter, cover);

    // Badges in the cover's top-leading corner.
    qreal x = cover.left() + kBadgeInset;
    const qreal y = cover.top() + kBadgeInset;
    for (const QString& text : badges()) {
        const QColor fill = text == QStringLiteral("已拥有") ? Theme::positive()
                            : text == QStringLiteral("免费") ? Theme::priceFree()
                                                           : Theme::warning();
        const QSizeF size = Chip::sizeFor(text, badgeFont());
        Chip::paint(painter, QRectF(QPointF(x, y), size), text, badgeFont(), Theme::textOnAccent(), fill);
        x += size.width() + 5;
    }

    if (m_stage.isBusy()) {
        const QRectF bar(cover.left(), cover.bottom() - kBarHeight, cover.width(), kBarHeight);
        painter.fillRect(bar, Theme::shadow(0.35));
        if (const std::optional<double> fraction = m_stage.fraction())
            painter.fillRect(QRectF(bar.topLeft(), QSizeF(bar.width() * *fraction, bar.height())), Theme::accent());
        else
            painter.fillRect(bar, Theme::alpha(Theme::accent(), 0.55));
    }
    painter.restore();

    // Text area.
    const qreal left = card.left() + kPadX;
    const qreal width = card.width() - 2 * kPadX;
    qreal top = cover.bottom() + kPadY;
    const qreal nameH = QFontMetricsF(nameFont()).height();
    MarketPaint::elidedText(painter, QRectF(left, top, width, nameH), m_plugin.name, nameFont(), Theme::textPrimary());
    top += nameH + kLineGap;
    const qreal subH = QFontMetricsF(Theme::tinyFont()).height();
    MarketPaint::elidedText(painter, QRectF(left, top, width, subH), m_plugin.subtitle.value_or(QString()), Theme::tinyFont(),
                            Theme::textSecondary());
    top += subH + kLineGap;
    const qreal statusH = card.bottom() - kPadY - top;
    const QRectF statusRow(left, top, width, statusH);

    // Category pill on the trailing side.
    qreal pillLeft = statusRow.right();
    const QString category = m_plugin.category.value_or(QString());
    if (!category.isEmpty()) {
        const QFontMetricsF pm(pillFont());
        const QString text = pm.elidedText(SafeText::singleLine(category), Qt::ElideRight, width / 2 - 2 * Chip::kPadX);
        const QSizeF size = Chip::sizeFor(text, pillFont());
        const QRectF pill(QPointF(statusRow.right() - size.width(), statusRow.center().y() - size.height() / 2), size);
        Chip::paint(painter, pill, text, pillFont(), Theme::textSecondary(), Theme::capsuleBg());
        pillLeft = pill.left() - 6;
    }
    const QRectF statusArea(left, top, std::max<qreal>(0, pillLeft - left), statusH);
    if (m_stage.isBusy()) {
        MarketPaint::elidedText(painter, statusArea, m_stage.title(), stageFont(), Theme::accent());
    } else if (m_plugin.owned == true) {
        MarketPaint::elidedText(painter, statusArea, statusText(), statusFont(), Theme::positive());
    } else {
        const QString price = statusText();
        const bool free = isFree(m_plugin);
        MarketPaint::elidedText(painter, statusArea, price, statusFont(), free ? Theme::priceFree() : Theme::accent());
        if (const std::optional<QString> original = m_plugin.originalPriceText()) {
            QFont struck = Theme::tinyFont();
            struck.setStrikeOut(true);
            const qreal after = QFontMetricsF(statusFont()).horizontalAdvance(price) + 6;
            MarketPaint::elidedText(painter, statusArea.adjusted(after, 0, 0, 0), *original, struck, Theme::textTertiary());
        }
    }
}
