#include "promo/PromoCarousel.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "online/PromoImageCache.h"
#include "online/RemoteImageLoader.h"
#include "online/SafeLink.h"
#include "ui/BusySpinner.h"
#include "ui/DialogWindowController.h"
#include "ui/PaintedButton.h"
#include "ui/Theme.h"
#include "promo/PromoImageLayout.h"
#include "promo/PromoStyle.h"
#include "promo/QRSheet.h"

namespace {

constexpr qreal kPadX = 12;
constexpr qreal kPadY = 10;
constexpr qreal kRadius = 12;
constexpr qreal kThumb = 40;
constexpr qreal kThumbRadius = 8;
constexpr qreal kDotSpacing = 5;
constexpr qreal kDot = 5;
constexpr qreal kCurrentDot = 7;
constexpr qreal kBadgeGap = 5;
constexpr qreal kBadgePadX = 5;
constexpr qreal kButtonPadX = 9;
// The bottom row's spacing on both sides of its flexible space, and that space's minimum.
constexpr qreal kRowSpacing = 8;
constexpr qreal kMinRowSpace = 4;

QFont buttonFont() { return Theme::font(10, QFont::Light); }

} // namespace

PromoCarousel::PromoCarousel(const QList<PromoCard>& cards, QWidget* parent)
    : QWidget(parent),
      m_model(cards),
      m_thumbLoader(new RemoteImageLoader(this)),
      m_thumbSpinner(new BusySpinner(BusySpinner::Size::small, this))
{
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    m_thumbSpinner->hide();
    connect(m_thumbLoader, &RemoteImageLoader::finished, this, [this](const QImage& image) {
        // A failed thumbnail keeps its placeholder and spinner.
        if (!image.isNull()) {
            m_thumb = image;
            m_thumbSpinner->hide();
        }
        update();
    });
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_model.tick())
            shownCardChanged();
    });
    m_timer.start();
    setCards(cards);
}

void PromoCarousel::setCards(const QList<PromoCard>& cards)
{
    m_model.setCards(cards);
    shownCardChanged();
    const QString key = m_model.preloadKey();
    if (key != m_preloadKey) {
        m_preloadKey = key;
        preload(key, 0);
    }
}

void PromoCarousel::preload(const QString& key, int from)
{
    // One picture at a time, in card order; a replaced key stops the chain.
    const QList<PromoCard>& cards = m_model.cards();
    for (int i = from; i < cards.size(); ++i) {
        const auto address = cards.at(i).imageAddress();
        if (!address || address->isEmpty())
            continue;
        PromoImageCache::shared().load(*address, this, [this, key, i](const PromoImage&) {
            if (key == m_preloadKey)
                preload(key, i + 1);
        });
        return;
    }
}

bool PromoCarousel::hasThumbnail() const
{
    const PromoCard* card = m_model.shownCard();
    if (!card)
        return false;
    const auto address = card->imageAddress();
    return address && QUrl(*address, QUrl::StrictMode).isValid();
}

void PromoCarousel::shownCardChanged()
{
    const PromoCard* card = m_model.shownCard();
    const QString address = hasThumbnail() ? *card->imageAddress() : QString();
    if (address != m_thumbAddress) {
        m_thumbAddress = address;
        m_thumb = QImage();
        m_thumbLoader->cancel();
        if (!address.isEmpty()) {
            RemoteImageLoader::Options options;
            options.fitWithin = QSize(120, 120);
            m_thumbLoader->load(QUrl(address, QUrl::StrictMode), options);
        }
    }
    m_thumbSpinner->setVisible(!address.isEmpty() && m_thumb.isNull());

    delete m_button;
    m_button = nullptr;
    if (card && card->button && !card->button->isEmpty()) {
        const QString label = PromoStyle::oneLine(*card->button, 40);
        const QFontMetricsF metrics(buttonFont());
        const QSize size(int(std::ceil(metrics.horizontalAdvance(label) + kButtonPadX * 2)),
                         int(std::ceil(metrics.height() + 8)));
        m_button = new PaintedButton(size, [label](QPainter& p, const QRectF& r, const PaintedButton::State&) {
            p.setPen(Qt::NoPen);
            p.setBrush(PromoStyle::pillButtonFill());
            p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
            p.setFont(buttonFont());
            p.setPen(PromoStyle::pillButtonText());
            // Narrowed by layoutChildren() when the row is short of room.
            const QString shown = QFontMetricsF(buttonFont()).elidedText(label, Qt::ElideRight, r.width() - kButtonPadX * 2);
            p.drawText(r, Qt::AlignCenter, shown);
        }, this);
        const PromoCard shown = *card;
        connect(m_button, &QAbstractButton::clicked, this, [this, shown] { activate(shown); });
        m_button->show();
    }
    layoutChildren();
    update();
}

QRectF PromoCarousel::thumbnailRect() const
{
    return QRectF(kPadX, kPadY, kThumb, kThumb);
}

void PromoCarousel::layoutChildren()
{
    const QRectF thumb = thumbnailRect();
    m_thumbSpinner->move(int(thumb.center().x() - m_thumbSpinner->width() / 2.0),
                         int(thumb.center().y() - m_thumbSpinner->height() / 2.0));
    if (!m_button)
        return;
    // The button takes what the dots and the row's minimum space leave, and no more.
    const int count = int(m_model.cards().size());
    const qreal dotsRight = m_model.showsDots() ? kPadX + (count - 1) * (kDot + kDotSpacing) + kCurrentDot + kRowSpacing
                                                : kPadX;
    const qreal room = width() - kPadX - (dotsRight + kMinRowSpace + kRowSpacing);
    const int buttonWidth = std::clamp(m_button->sizeHint().width(), 0, std::max(int(std::floor(room)), 0));
    m_button->setFixedSize(buttonWidth, m_button->sizeHint().height());
    m_button->move(int(width() - kPadX - buttonWidth), int(height() - kPadY - m_button->height()));
}

void PromoCarousel::resizeEvent(QResizeEvent*)
{
    layoutChildren();
}

QPointF PromoCarousel::dotCenter(int position) const
{
    const qreal rowHeight = m_button ? m_button->height() : kCurrentDot;
    const qreal y = height() - kPadY - rowHeight / 2;
    qreal x = kPadX;
    for (int i = 0; i < position; ++i)
        x += (i == m_model.index() ? kCurrentDot : kDot) + kDotSpacing;
    const qreal side = position == m_model.index() ? kCurrentDot : kDot;
    return {x + side / 2, y};
}

void PromoCarousel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(PromoStyle::cardShadow());
    p.drawRoundedRect(card.translated(0, 1), kRadius, kRadius);
    p.setBrush(PromoStyle::cardFill());
    p.drawRoundedRect(card, kRadius, kRadius);
    p.setPen(QPen(Theme::cardStroke(), 0.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(card.adjusted(0.25, 0.25, -0.25, -0.25), kRadius, kRadius);

    const PromoCard* shown = m_model.shownCard();
    if (!shown)
        return;

    qreal textLeft = kPadX;
    if (hasThumbnail()) {
        const QRectF thumb = thumbnailRect();
        QPainterPath shape;
        shape.addRoundedRect(thumb, kThumbRadius, kThumbRadius);
        p.save();
        p.setClipPath(shape);
        if (!m_thumb.isNull()) {
            const QSizeF size = QSizeF(m_thumb.size()).scaled(thumb.size(), Qt::KeepAspectRatioByExpanding);
            p.drawImage(QRectF(thumb.center() - QPointF(size.width() / 2, size.height() / 2), size), m_thumb);
        } else {
            p.fillRect(thumb, Theme::cardBg());
        }
        p.restore();
        p.setPen(QPen(Theme::cardStroke(), 0.5));
        p.drawRoundedRect(thumb.adjusted(0.25, 0.25, -0.25, -0.25), kThumbRadius, kThumbRadius);
        textLeft = thumb.right() + 9;
    }
    const qreal textWidth = std::max<qreal>(width() - kPadX - textLeft, 0);

    // Title row: the title on one line, then the badge. A long badge is cut so that a long
    // title keeps at least half the row, and both end inside the card.
    const QColor accent = PromoStyle::accent(shown->accent());
    const QFontMetricsF titleMetrics(Theme::bodyStrongFont());
    const QFontMetricsF badgeMetrics(Theme::sectionFont());
    const QString fullTitle = PromoStyle::oneLine(shown->title, 300);
    QString badge = shown->badge ? PromoStyle::oneLine(*shown->badge, 40) : QString();
    qreal badgeWidth = 0;
    if (!badge.isEmpty()) {
        const qreal row = std::max<qreal>(textWidth - kBadgeGap, 0);
        const qreal room = std::max(row - titleMetrics.horizontalAdvance(fullTitle), row / 2);
        badge = badgeMetrics.elidedText(badge, Qt::ElideRight, room - kBadgePadX * 2);
        if (!badge.isEmpty())
            badgeWidth = badgeMetrics.horizontalAdvance(badge) + kBadgePadX * 2;
    }
    const qreal titleSpace = std::max<qreal>(textWidth - (badgeWidth > 0 ? badgeWidth + kBadgeGap : 0), 0);
    const QString title = titleMetrics.elidedText(fullTitle, Qt::ElideRight, titleSpace);
    const qreal titleWidth = titleMetrics.horizontalAdvance(title);
    const QRectF titleRect(textLeft, kPadY, titleWidth + 1, titleMetrics.height());
    p.setFont(Theme::bodyStrongFont());
    p.setPen(Theme::textPrimary());
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, title);
    if (badgeWidth > 0) {
        const qreal h = QFontMetricsF(Theme::sectionFont()).height() + 2;
        const QRectF capsule(titleRect.right() + kBadgeGap, titleRect.center().y() - h / 2, badgeWidth, h);
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::faded(accent, 0.14));
        p.drawRoundedRect(capsule, h / 2, h / 2);
        p.setFont(Theme::sectionFont());
        p.setPen(accent);
        p.drawText(capsule, Qt::AlignCenter, badge);
    }
    if (shown->subtitle && !shown->subtitle->isEmpty()) {
        const QFontMetricsF metrics(Theme::tinyFont());
        const QRectF subRect(textLeft, titleRect.bottom() + 3, textWidth, metrics.height() * 2 + 1);
        p.setFont(Theme::tinyFont());
        p.setPen(Theme::textSecondary());
        // At most two lines; the second ends in an ellipsis when the text goes on.
        QString text = PromoStyle::displayCut(*shown->subtitle, 300);
        {
            const QRectF needed = metrics.boundingRect(subRect, Qt::TextWordWrap, text);
            if (needed.height() > subRect.height() + 0.5) {
                while (text.size() > 1
                       && metrics.boundingRect(subRect, Qt::TextWordWrap, text + QStringLiteral("…")).height()
                              > subRect.height() + 0.5)
                    text.chop(1);
                text += QStringLiteral("…");
            }
        }
        p.drawText(subRect, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text);
    }

    if (m_model.showsDots()) {
        const int current = m_model.index();
        for (int i = 0; i < m_model.cards().size(); ++i) {
            const qreal side = i == current ? kCurrentDot : kDot;
            const QPointF c = dotCenter(i);
            p.setPen(Qt::NoPen);
            p.setBrush(i == current ? Theme::pageDotCurrent() : PromoStyle::faded(Theme::textPrimary(), 0.16));
            p.drawEllipse(c, side / 2, side / 2);
        }
    }
}

void PromoCarousel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()))
        return;
    if (m_model.showsDots()) {
        for (int i = 0; i < m_model.cards().size(); ++i) {
            const QPointF c = dotCenter(i);
            if (std::abs(event->position().x() - c.x()) <= 4.5 && std::abs(event->position().y() - c.y()) <= 6) {
                m_model.select(i);
                shownCardChanged();
                return;
            }
        }
    }
    if (const PromoCard* card = m_model.shownCard())
        activate(*card);
}

void PromoCarousel::activate(const PromoCard& card)
{
    if (const auto link = SafeLink::url(card.linkAddress())) {
        SafeLink::open(link);
        return;
    }
    const auto address = card.imageAddress();
    if (!address || address->isEmpty())
        return;

    std::optional<QSize> hostSize;
    if (QWidget* host = DialogWindowController::hostWindow())
        hostSize = host->frameGeometry().size();
    const QSize limit = PromoImageLayout::limitBox(hostSize);
    std::optional<QSize> held;
    if (const auto picture = PromoImageCache::shared().held(*address))
        held = picture->size;
    const QSize fitted = PromoImageLayout::imageSize(held, limit);
    const int width = PromoImageLayout::dialogWidth(fitted, limit);
    const int height = PromoImageLayout::dialogHeight(fitted, limit);

    DialogWindowController::Options options;
    options.title = card.title;
    options.size = QSize(width, std::min(height, limit.height()));
    options.maxContentSize = limit;
    options.modal = true;
    options.dimHost = true;
    options.fullSizeContent = true;
    options.followsHost = true;
    DialogWindowController::shared().show(QRSheet::kDialogId, new QRSheet(card, limit, fitted), options);
}
