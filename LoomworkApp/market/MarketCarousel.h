#pragma once

#include <QList>
#include <QPixmap>
#include <QUrl>
#include <QWidget>

#include "online/MarketModels.h"

class QVariantAnimation;

// The shop's featured strip, 200 high: one full-width card per featured plug-in, moved by
// the arrows, the dots and a horizontal drag; a click on the card shown opens its detail.
// The cards and controls are painted here; the index itself is the model's.
class MarketCarousel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 200;
    static constexpr qreal kRadius = 14;
    static constexpr int kCardSpacing = 12;
    static constexpr int kDragMinimum = 24;
    static constexpr int kDragStep = 30;

    explicit MarketCarousel(QWidget* parent = nullptr);

    void setFeatured(const QList<MarketPlugin>& featured, int index);
    int index() const { return m_index; }

    // The card's tags ("置顶推荐", "已拥有", "免费") and price text.
    static QStringList tags(const MarketPlugin& plugin);
    static QString priceText(const MarketPlugin& plugin);
    // What a drag of `dx` does: +1, -1 or 0.
    static int stepForDrag(qreal dx);

    QRectF leftArrowRect() const;
    QRectF rightArrowRect() const;
    QRectF dotRect(int i) const;

    QSize sizeHint() const override { return {600, kHeight}; }

signals:
    void stepRequested(int delta);
    void indexRequested(int index);
    void pluginClicked(const MarketPlugin& plugin);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRectF controlsRect() const;
    void paintCard(QPainter& painter, const QRectF& rect, int i);
    QPixmap picture(int i, QSize pixels);

    QList<MarketPlugin> m_featured;
    int m_index = 0;
    qreal m_offset = 0;
    QVariantAnimation* m_animation;
    QHash<int, QPixmap> m_pictures; // by card index, at the strip's size
    QPointF m_pressPos;
    bool m_pressed = false;
};
