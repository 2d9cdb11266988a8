#pragma once

#include <QPixmap>
#include <QUrl>

#include "online/MarketInstallStage.h"
#include "online/MarketModels.h"
#include "ui/BaseButton.h"

class QVariantAnimation;

// One plug-in of the shop grid: cover with badges and a progress bar while it downloads,
// name, subtitle, status (stage, installed, bought or price) and category. The whole card
// is one button. Drawn entirely here, shadow included, inside a margin that leaves room
// for the shadow; the card proper is rect() less kMargin.
class MarketCard : public BaseButton
{
    Q_OBJECT
public:
    static constexpr int kMargin = 12;
    static constexpr qreal kRadius = 12;
    static constexpr qreal kCoverAspect = 1.6;

    explicit MarketCard(QWidget* parent = nullptr);

    void setPlugin(const MarketPlugin& plugin);
    void setStage(const MarketInstallStage& stage);
    void setInstalled(bool installed);
    const MarketPlugin& plugin() const { return m_plugin; }
    const MarketInstallStage& stage() const { return m_stage; }

    // The card's height (without margins) for a card `width` wide.
    static int cardHeight(int width);

    // Texts the card shows, first rule that applies (for tests).
    QStringList badges() const;
    QString statusText() const;
    bool isHovered() const { return isOver(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void onStateChanged(State previous) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRectF cardRect() const;
    void paintFace(QPainter& painter, const QRectF& card);
    void paintCover(QPainter& painter, const QRectF& rect);
    void onImageReady(const QUrl& url);

    MarketPlugin m_plugin;
    MarketInstallStage m_stage;
    bool m_installed = false;
    std::optional<QUrl> m_coverUrl;
    QPixmap m_cover; // the cover cut to the cover area at the device pixel ratio
    QPixmap m_face;  // the card without shadow and border, redrawn when what it shows changes
    qreal m_hover = 0;
    QVariantAnimation* m_hoverAnimation;
};
