#pragma once

#include <QImage>
#include <QList>
#include <QTimer>
#include <QWidget>

#include "online/PromoCard.h"
#include "promo/PromoCarouselModel.h"

class BusySpinner;
class PaintedButton;
class RemoteImageLoader;

// The promotion card at the foot of the sidebar: one card at a time, the next one every
// 8 seconds, dots to pick one. A click opens the card's link, or shows its picture in the
// "promo-qr" dialog. The owner creates it only while there are cards.
class PromoCarousel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kTickMs = 8000;
    static constexpr int kHeight = 122;

    explicit PromoCarousel(const QList<PromoCard>& cards, QWidget* parent = nullptr);

    // New cards keep the position; the shown card is clamped to the list.
    void setCards(const QList<PromoCard>& cards);
    const PromoCarouselModel& model() const { return m_model; }
    QTimer& timer() { return m_timer; }
    PaintedButton* button() const { return m_button; }
    // Acts on a card as a click on it does.
    void activate(const PromoCard& card);
    // The centre of the dot at `position`, for clicks.
    QPointF dotCenter(int position) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void shownCardChanged();
    void layoutChildren();
    void preload(const QString& key, int from);
    QRectF thumbnailRect() const;
    bool hasThumbnail() const;

    PromoCarouselModel m_model;
    QTimer m_timer;
    RemoteImageLoader* m_thumbLoader;
    QString m_thumbAddress;
    QImage m_thumb;
    BusySpinner* m_thumbSpinner;
    PaintedButton* m_button = nullptr;
    QString m_preloadKey;
};
