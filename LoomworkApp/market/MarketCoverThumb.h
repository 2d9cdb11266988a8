#pragma once

#include <optional>

#include <QPixmap>
#include <QUrl>

#include "ui/BaseButton.h"

// A plug-in's rounded cover thumbnail, `width` wide and width / 1.6 high (whole points). It
// shows the picture once loaded, the placeholder until then or when there is none, and a
// brand border while the pointer is over it. A click emits clicked().
class MarketCoverThumb : public BaseButton
{
    Q_OBJECT
public:
    static constexpr qreal kRadius = 6;

    MarketCoverThumb(const std::optional<QString>& url, int width, QWidget* parent = nullptr);

    void setUrl(const std::optional<QString>& url);
    bool isHighlighted() const { return isOver(); }

    static int heightFor(int width);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onImageReady(const QUrl& url);

    std::optional<QUrl> m_url;
    int m_width;
    QPixmap m_picture;
};
