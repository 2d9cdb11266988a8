#pragma once

#include <functional>
#include <optional>

#include <QImage>
#include <QPointer>
#include <QWidget>

#include "market/MarketMediaModel.h"

class RemoteImageLoader;
class BusySpinner;
class QLabel;
class QSlider;
class PaintedButton;

// The picture area of a market plug-in's detail: the cover with a play button, the
// inline preview with its controls bar, or the video site's player page.
class MarketMediaPanel : public QWidget {
    Q_OBJECT
public:
    // Makes the site's player page; the default is the web engine view, tests pass a stand-in
    // so they never start the web engine.
    using WebFactory = std::function<QWidget*(const QUrl& page, QWidget* parent)>;

    static PreviewPlayer* makeQtPlayer(QObject* parent);
    static QWidget* makeWebPlayer(const QUrl& page, QWidget* parent);

    MarketMediaPanel(std::optional<QString> coverUrl, std::optional<QString> videoUrl,
                     MarketMediaModel::PlayerFactory makePlayer = &MarketMediaPanel::makeQtPlayer,
                     WebFactory makeWeb = &MarketMediaPanel::makeWebPlayer, QWidget* parent = nullptr);
    ~MarketMediaPanel() override;

    MarketMediaModel& model() { return *m_model; }
    QWidget* webPlayer() const { return m_web; }
    // Rounds the top-left corner, where the panel meets its host's corner.
    void setTopLeftRadius(qreal radius) { m_radius = radius; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void sync();
    void place();
    void paintCover(QPainter& painter);
    void paintFrame(QPainter& painter);

    MarketMediaModel* m_model;
    WebFactory m_makeWeb;
    RemoteImageLoader* m_coverLoader;
    QImage m_cover;
    PaintedButton* m_play;
    BusySpinner* m_preparing;
    QWidget* m_bar;
    PaintedButton* m_pause;
    QSlider* m_slider;
    QLabel* m_time;
    PaintedButton* m_mute;
    PaintedButton* m_closeWeb;
    QPointer<QWidget> m_web;
    // The window that opened the page was the active one: it stays so when the page remakes it.
    bool m_openerActive = false;
    QPointer<PreviewPlayer> m_watched;
    qreal m_radius = 0;
};
