#pragma once

#include <optional>

#include <QAbstractButton>
#include <QPixmap>
#include <QUrl>

// A plug-in's rounded cover thumbnail, `width` wide and width / 1.6 high (whole points). It
// shows the picture once loaded, the placeholder until then or when there is none, and a
// brand border while the pointer is over it. A click emits clicked().
class MarketCoverThumb : public QAbstractButton
{
    Q_OBJECT
public:
    static constexpr qreal kRadius = 6;

    MarketCoverThumb(const std::optional<QString>& url, int width, QWidget* parent = nullptr);

    void setUrl(const std::optional<QString>& url);
    bool isHighlighted() const { return m_highlighted; }
    bool hasPicture() const { return !m_picture.isNull(); }

    static int heightFor(int width);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void onImageReady(const QUrl& url);

    std::optional<QUrl> m_url;
    int m_width;
    bool m_highlighted = false;
    QPixmap m_picture;
};
