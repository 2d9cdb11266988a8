#include "promo/AdBarView.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "online/PromoImageCache.h"
#include "online/RemoteImageLoader.h"
#include "online/SafeLink.h"
#include "ui/PaintedButton.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "promo/PromoStyle.h"

namespace {

constexpr qreal kPad = 20;
constexpr qreal kPlainVertical = 8;
constexpr qreal kIconSide = 40;
constexpr qreal kIconRadius = 9;
constexpr qreal kButtonSpacing = 10;
constexpr qreal kHairline = 0.5;
constexpr const char* kCloseTip = "关闭这条广告（重新启动 App 会再次显示）";

QFont viewFont() { return Theme::font(11, QFont::Medium); }

QSize viewButtonSize()
{
    const qreal text = QFontMetricsF(viewFont()).horizontalAdvance(QStringLiteral("查看"));
    return {int(std::ceil(text + 4 + 9 * SymbolIcon::kGlyphScale + 20)),
            int(std::ceil(QFontMetricsF(viewFont()).height() + 8))};
}

void drawImageFill(QPainter& p, const QImage& image, const QRectF& target)
{
    // Scaled to fill, centred, cropped by the target.
    const QSizeF size = QSizeF(image.size()).scaled(target.size(), Qt::KeepAspectRatioByExpanding);
    const QRectF source(0, 0, image.width(), image.height());
    const qreal sx = image.width() / size.width();
    const qreal sy = image.height() / size.height();
    const QRectF visible((size.width() - target.width()) / 2 * sx, (size.height() - target.height()) / 2 * sy,
                         target.width() * sx, target.height() * sy);
    p.drawImage(target, image, visible.intersected(source));
}

} // namespace

AdBarView::AdBarView(QWidget* parent) : QWidget(parent), m_iconLoader(new RemoteImageLoader(this))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(true);
    connect(m_iconLoader, &RemoteImageLoader::finished, this, [this](const QImage& image) {
        m_icon = image;
        update();
    });
    rebuild();
}

void AdBarView::setConfig(const RemoteConfig& config)
{
    m_config = config;
    rebuild();
}

void AdBarView::setBannerFixedHeight(std::optional<qreal> height)
{
    if (height == m_fixedHeight)
        return;
    m_fixedHeight = height;
    rebuild();
}

void AdBarView::dismiss()
{
    m_dismissed = true;
    rebuild();
}

AdBarModel::Banner AdBarView::bannerGeometry() const
{
    return AdBarModel::banner(width(), m_bannerRatio, m_fixedHeight);
}

qreal AdBarView::preferredHeight() const
{
    switch (form()) {
    case AdBarModel::Form::none: return 0;
    case AdBarModel::Form::banner: return m_banner.isNull() ? 0 : bannerGeometry().height;
    case AdBarModel::Form::overlay: return kHairline + AdBarModel::kOverlayHeight;
    case AdBarModel::Form::plain: return kHairline + kPlainVertical * 2 + kIconSide;
    }
    return 0;
}

void AdBarView::rebuild()
{
    loadPictures();
    const AdBarModel::Form shown = form();
    const bool light = shown != AdBarModel::Form::plain;

    delete m_close;
    delete m_view;
    m_close = nullptr;
    m_view = nullptr;
    if (shown == AdBarModel::Form::banner) {
        m_close = new PaintedButton(QSize(21, 21), [this](QPainter& p, const QRectF& r, const PaintedButton::State&) {
            p.setOpacity(m_hovering ? 1.0 : 0.55);
            const QRectF circle(r.right() - 5 - 16, r.top() + 5, 16, 16);
            p.setPen(Qt::NoPen);
            p.setBrush(PromoStyle::scrim(m_hovering ? 0.56 : 0.28));
            p.drawEllipse(circle);
            SymbolIcon::paint(p, circle, u"xmark", PromoStyle::onPicture(1), 9);
        }, this);
    } else if (shown != AdBarModel::Form::none) {
        m_close = new PaintedButton(QSize(22, 22), [light](QPainter& p, const QRectF& r, const PaintedButton::State&) {
            p.setPen(Qt::NoPen);
            p.setBrush(light ? PromoStyle::onPicture(0.18) : Theme::controlBgOver());
            p.drawRoundedRect(r, 6, 6);
            SymbolIcon::paint(p, r, u"xmark", light ? PromoStyle::onPicture(0.91) : Theme::textSecondary(), 10);
        }, this);
        if (const auto link = AdBarModel::link(m_config)) {
            m_view = new PaintedButton(viewButtonSize(), [light](QPainter& p, const QRectF& r, const PaintedButton::State&) {
                p.setPen(Qt::NoPen);
                p.setBrush(light ? PromoStyle::onPicture(0.94) : Theme::accent());
                p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
                const QColor fg = light ? PromoStyle::scrim(0.85) : PromoStyle::onPicture(1);
                const qreal textWidth = QFontMetricsF(viewFont()).horizontalAdvance(QStringLiteral("查看"));
                const QRectF textRect(r.left() + 10, r.top(), textWidth, r.height());
                p.setFont(viewFont());
                p.setPen(fg);
                p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("查看"));
                SymbolIcon::paint(p, QRectF(textRect.right() + 4, r.top(), 9 * SymbolIcon::kGlyphScale, r.height()),
                                  u"arrow.up.right", fg, 9);
            }, this);
            m_view->setToolTip(QStringLiteral("打开详情页面"));
            connect(m_view, &QAbstractButton::clicked, this, [link] { SafeLink::open(link); });
        }
    }
    if (m_close) {
        m_close->setToolTip(QString::fromUtf8(kCloseTip));
        connect(m_close, &QAbstractButton::clicked, this, &AdBarView::dismiss);
        m_close->show();
    }
    if (m_view)
        m_view->show();
    setCursor(AdBarModel::link(m_config) ? Qt::PointingHandCursor : Qt::ArrowCursor);

    const int height = int(std::ceil(preferredHeight()));
    setFixedHeight(height);
    setVisible(height > 0);
    layoutControls();
    update();
}

void AdBarView::loadPictures()
{
    const QString icon = m_config.adIconURL().value_or(QString());
    const AdBarModel::Form shown = AdBarModel::form(m_config, false);
    const bool wantsIcon = shown == AdBarModel::Form::overlay || shown == AdBarModel::Form::plain;
    if (!wantsIcon || icon != m_iconAddress) {
        m_iconAddress = wantsIcon ? icon : QString();
        m_icon = QImage();
        m_iconLoader->cancel();
        if (!m_iconAddress.isEmpty()) {
            RemoteImageLoader::Options options;
            options.fitWithin = shown == AdBarModel::Form::plain ? QSize(120, 120) : QSize(2400, 480);
            m_iconLoader->load(QUrl(m_iconAddress, QUrl::StrictMode), options);
        }
    }

    const QString banner = shown == AdBarModel::Form::banner ? icon : QString();
    if (banner == m_bannerAddress)
        return;
    m_bannerAddress = banner;
    const quint64 generation = ++m_bannerGeneration;
    if (banner.isEmpty()) {
        m_banner = QImage();
        m_bannerRatio = 0;
        m_edgeStrip = QImage();
        return;
    }
    // The old picture stays until the new one has loaded.
    PromoImageCache::shared().load(banner, this, [this, generation](const PromoImage& picture) {
        if (generation != m_bannerGeneration)
            return;
        if (!picture.isNull() && picture.size.width() > 1 && picture.size.height() > 1) {
            m_bannerRatio = qreal(picture.size.width()) / picture.size.height();
            m_banner = picture.image;
            m_edgeStrip = AdBarModel::rightEdgeStrip(picture.image, AdBarModel::kEdgeStripFraction);
        } else {
            m_banner = QImage();
            m_bannerRatio = 0;
            m_edgeStrip = QImage();
        }
        m_blurredStrip = QPixmap();
        rebuild();
    });
}

void AdBarView::layoutControls()
{
    const AdBarModel::Form shown = form();
    if (!m_close)
        return;
    if (shown == AdBarModel::Form::banner) {
        m_close->move(width() - m_close->width(), 0);
        return;
    }
    const qreal top = kHairline;
    const qreal bodyHeight = height() - top;
    qreal right = width() - kPad;
    m_close->move(int(right - m_close->width()), int(top + (bodyHeight - m_close->height()) / 2));
    right -= m_close->width() + kButtonSpacing;
    if (m_view)
        m_view->move(int(right - m_view->width()), int(top + (bodyHeight - m_view->height()) / 2));
}

void AdBarView::resizeEvent(QResizeEvent*)
{
    if (form() == AdBarModel::Form::banner && !m_banner.isNull()) {
        const int height = int(std::ceil(bannerGeometry().height));
        if (height != this->height())
            setFixedHeight(height);
    }
    layoutControls();
}

namespace {

// Only what one line can show is drawn of a server text.
std::optional<QString> oneLine(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    return PromoStyle::oneLine(*text);
}

} // namespace

qreal AdBarView::textBlockWidth() const
{
    qreal row = QFontMetricsF(Theme::bodyStrongFont()).horizontalAdvance(oneLine(m_config.adHeading()).value_or(QString()));
    if (const auto badge = oneLine(m_config.adBadgeText()))
        row += 6 + QFontMetricsF(Theme::sectionFont()).horizontalAdvance(*badge) + 12;
    qreal sub = 0;
    if (const auto subheading = oneLine(m_config.adSubheading()))
        sub = QFontMetricsF(Theme::tinyFont()).horizontalAdvance(*subheading);
    return std::max(row, sub);
}

void AdBarView::paintTextBlock(QPainter& p, const QRectF& area, Qt::Alignment align, bool light)
{
    const QFontMetricsF headingMetrics(Theme::bodyStrongFont());
    const QFontMetricsF subMetrics(Theme::tinyFont());
    const auto sub = oneLine(m_config.adSubheading());
    const qreal blockHeight = headingMetrics.height() + (sub ? 3 + subMetrics.height() : 0);
    const qreal blockWidth = std::min(textBlockWidth(), area.width());
    qreal left = area.left();
    if (align & Qt::AlignHCenter)
        left = area.left() + (area.width() - blockWidth) / 2;
    else if (align & Qt::AlignRight)
        left = area.right() - blockWidth;
    const qreal top = area.top() + (area.height() - blockHeight) / 2;

    const QString heading = oneLine(m_config.adHeading()).value_or(QString());
    const auto badge = oneLine(m_config.adBadgeText());
    const qreal badgeWidth = badge ? QFontMetricsF(Theme::sectionFont()).horizontalAdvance(*badge) + 12 : 0;
    const qreal badgeSpace = badge ? badgeWidth + 6 : 0;
    const qreal headingWidth = std::min(headingMetrics.horizontalAdvance(heading), blockWidth - badgeSpace);
    const qreal rowWidth = headingWidth + badgeSpace;
    qreal x = left;
    if (align & Qt::AlignHCenter)
        x = left + (blockWidth - rowWidth) / 2;
    else if (align & Qt::AlignRight)
        x = left + blockWidth - rowWidth;

    const QColor headingColor = light ? PromoStyle::onPicture(1) : Theme::textPrimary();
    const auto drawBadge = [&](qreal bx) {
        const qreal h = QFontMetricsF(Theme::sectionFont()).height() + 3;
        const QRectF capsule(bx, top + (headingMetrics.height() - h) / 2, badgeWidth, h);
        p.setPen(Qt::NoPen);
        p.setBrush(light ? PromoStyle::onPicture(0.22) : PromoStyle::faded(Theme::accent(), 0.14));
        p.drawRoundedRect(capsule, h / 2, h / 2);
        p.setFont(Theme::sectionFont());
        p.setPen(light ? PromoStyle::onPicture(1) : Theme::accent());
        p.drawText(capsule, Qt::AlignCenter, *badge);
    };
    const auto drawShadowed = [&](const QRectF& r, const QString& text, const QColor& color, Qt::Alignment a) {
        if (light) {
            p.setPen(PromoStyle::scrim(0.45));
            p.drawText(r.translated(0, 1), a, text);
        }
        p.setPen(color);
        p.drawText(r, a, text);
    };

    const bool badgeLeft = badge && m_config.adBadgeOnLeft();
    if (badgeLeft) {
        drawBadge(x);
        x += badgeSpace;
    }
    p.setFont(Theme::bodyStrongFont());
    drawShadowed(QRectF(x, top, headingWidth + 1, headingMetrics.height()),
                 headingMetrics.elidedText(heading, Qt::ElideRight, headingWidth + 1), headingColor,
                 Qt::AlignLeft | Qt::AlignVCenter);
    x += headingWidth;
    if (badge && !badgeLeft)
        drawBadge(x + 6);

    if (sub) {
        p.setFont(Theme::tinyFont());
        const QRectF subRect(left, top + headingMetrics.height() + 3, blockWidth, subMetrics.height());
        const Qt::Alignment subAlign = (align & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter;
        drawShadowed(subRect, subMetrics.elidedText(*sub, Qt::ElideRight, blockWidth),
                     light ? PromoStyle::onPicture(0.9) : Theme::textSecondary(), subAlign);
    }
}

void AdBarView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    switch (form()) {
    case AdBarModel::Form::overlay: paintOverlay(p); break;
    case AdBarModel::Form::plain: paintPlain(p); break;
    case AdBarModel::Form::banner: paintBanner(p); break;
    case AdBarModel::Form::none: break;
    }
}

void AdBarView::paintOverlay(QPainter& p)
{
    p.fillRect(QRectF(0, 0, width(), kHairline), Theme::divider());
    const QRectF area(0, kHairline, width(), AdBarModel::kOverlayHeight);
    const qreal o = AdBarModel::overlayOpacity(m_config);
    p.save();
    p.setClipRect(area);
    if (!m_icon.isNull()) {
        drawImageFill(p, m_icon, area);
        QLinearGradient gradient(area.topLeft(), area.topRight());
        gradient.setColorAt(0, PromoStyle::scrim(o));
        gradient.setColorAt(0.5, PromoStyle::scrim(0.72 * o));
        gradient.setColorAt(1, PromoStyle::scrim(o));
        p.fillRect(area, gradient);
    } else {
        p.fillRect(area, PromoStyle::scrim(o));
    }
    p.restore();

    qreal right = width() - kPad;
    if (m_close)
        right = m_close->x() - kButtonSpacing;
    if (m_view)
        right = m_view->x() - kButtonSpacing;
    const QString key = m_config.adAlignKey();
    const Qt::Alignment align = key == QLatin1String("center") ? Qt::AlignHCenter
        : key == QLatin1String("right")                        ? Qt::AlignRight
                                                               : Qt::AlignLeft;
    paintTextBlock(p, QRectF(kPad, area.top(), std::max<qreal>(right - kPad, 0), area.height()), align, true);
}

void AdBarView::paintPlain(QPainter& p)
{
    p.fillRect(rect(), palette().window());
    p.fillRect(QRectF(0, 0, width(), kHairline), Theme::divider());
    const QRectF icon(kPad, kHairline + kPlainVertical, kIconSide, kIconSide);
    QPainterPath shape;
    shape.addRoundedRect(icon, kIconRadius, kIconRadius);
    if (!m_icon.isNull()) {
        p.save();
        p.setClipPath(shape);
        drawImageFill(p, m_icon, icon);
        p.restore();
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::faded(Theme::accent(), 0.14));
        p.drawPath(shape);
        SymbolIcon::paint(p, icon, u"megaphone.fill", Theme::accent(), 16);
    }
    p.setPen(QPen(Theme::cardStroke(), 0.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(icon.adjusted(0.25, 0.25, -0.25, -0.25), kIconRadius, kIconRadius);

    const qreal left = icon.right() + 12;
    qreal right = width() - kPad;
    if (m_close)
        right = m_close->x() - kButtonSpacing;
    if (m_view)
        right = m_view->x() - kButtonSpacing;
    paintTextBlock(p, QRectF(left, icon.top(), std::max<qreal>(right - left, 0), icon.height()), Qt::AlignLeft,
                   false);
}

void AdBarView::paintBanner(QPainter& p)
{
    if (m_banner.isNull())
        return;
    const AdBarModel::Banner b = bannerGeometry();
    const QRectF area(0, 0, b.width, b.height);
    p.setClipRect(area);
    if (b.gap > 1 && !m_edgeStrip.isNull()) {
        const QSize stripSize = b.stripRect.size().toSize();
        if (m_blurredStrip.isNull() || m_blurredFor != stripSize) {
            // A box blur by scaling down and up: cheap, and enough for a stretched edge.
            const qreal radius = std::max<qreal>(b.blurRadius, 1);
            const QImage stretched = m_edgeStrip.scaled(stripSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            const QSize small(std::max(1, int(stripSize.width() / radius)), std::max(1, int(stripSize.height() / radius)));
            m_blurredStrip = QPixmap::fromImage(
                stretched.scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                    .scaled(stripSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
            m_blurredFor = stripSize;
        }
        p.drawPixmap(b.stripRect.topLeft(), m_blurredStrip);
    }
    drawImageFill(p, m_banner, QRectF(0, 0, b.shown, b.height));

    if (const auto caption = oneLine(m_config.adSubheading())) {
        const QFontMetricsF metrics(Theme::tinyFont());
        const qreal maxWidth = std::max<qreal>(b.width - 20 - 16 - 30, 0);
        const QString text = metrics.elidedText(*caption, Qt::ElideRight, maxWidth);
        const QRectF capsule(20, b.height - 8 - metrics.height() - 10, metrics.horizontalAdvance(text) + 16,
                             metrics.height() + 10);
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::scrim(0.38));
        p.drawRoundedRect(capsule, capsule.height() / 2, capsule.height() / 2);
        p.setFont(Theme::tinyFont());
        p.setPen(PromoStyle::scrim(0.6));
        p.drawText(capsule.translated(0, 1), Qt::AlignCenter, text);
        p.setPen(PromoStyle::onPicture(0.95));
        p.drawText(capsule, Qt::AlignCenter, text);
    }
}

void AdBarView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        SafeLink::open(AdBarModel::link(m_config));
    QWidget::mouseReleaseEvent(event);
}

void AdBarView::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    m_hovering = true;
    if (m_close)
        m_close->update();
}

void AdBarView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    m_hovering = false;
    if (m_close)
        m_close->update();
}
