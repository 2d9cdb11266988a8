#pragma once

#include <optional>

#include <QImage>
#include <QPixmap>
#include <QWidget>

#include "online/RemoteConfig.h"
#include "promo/AdBarModel.h"

class PaintedButton;
class RemoteImageLoader;

// The promotion bar under the plug-in list, in one of three forms chosen by the document:
// a banner picture (through the promotion image cache, as tall as its proportions allow),
// a heading over a darkened picture, or an icon with a heading. A click opens the bar's
// link; the close control hides the bar until the application restarts.
class AdBarView : public QWidget
{
    Q_OBJECT
public:
    explicit AdBarView(QWidget* parent = nullptr);

    void setConfig(const RemoteConfig& config);
    // A height imposed by the owner for the banner form (used when above 20).
    void setBannerFixedHeight(std::optional<qreal> height);

    AdBarModel::Form form() const { return AdBarModel::form(m_config, m_dismissed); }
    bool isDismissed() const { return m_dismissed; }
    bool hasBanner() const { return !m_banner.isNull(); }
    // The banner's geometry at the current width (banner form).
    AdBarModel::Banner bannerGeometry() const;
    PaintedButton* closeButton() const { return m_close; }
    PaintedButton* viewButton() const { return m_view; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void rebuild();
    void loadPictures();
    void layoutControls();
    void dismiss();
    void paintOverlay(QPainter& p);
    void paintPlain(QPainter& p);
    void paintBanner(QPainter& p);
    // Draws the heading row and subheading as one block; returns its width.
    qreal textBlockWidth() const;
    void paintTextBlock(QPainter& p, const QRectF& area, Qt::Alignment align, bool light);
    qreal preferredHeight() const;

    RemoteConfig m_config;
    std::optional<qreal> m_fixedHeight;
    bool m_dismissed = false;
    bool m_hovering = false;

    // The overlay's background or the plain form's icon.
    RemoteImageLoader* m_iconLoader;
    QString m_iconAddress;
    QImage m_icon;

    // The banner form's picture, loaded through the cache; a replaced address's late
    // result is dropped.
    QString m_bannerAddress;
    quint64 m_bannerGeneration = 0;
    QImage m_banner;
    qreal m_bannerRatio = 0;
    QImage m_edgeStrip;
    QPixmap m_blurredStrip;
    QSize m_blurredFor;

    PaintedButton* m_close = nullptr;
    PaintedButton* m_view = nullptr;
};
