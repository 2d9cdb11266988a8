#pragma once

#include <functional>

#include <QAbstractButton>

class QPainter;

// A focus-less button drawn by a function of its state: the promotion views' close badges,
// view buttons and pills. Tracks the pointer for hover.
class PaintedButton : public QAbstractButton
{
    Q_OBJECT
public:
    struct State
    {
        bool hovered = false;
        bool pressed = false;
    };
    using Painter = std::function<void(QPainter& painter, const QRectF& rect, const State& state)>;

    PaintedButton(QSize size, Painter painter, QWidget* parent = nullptr);

    bool isHovered() const { return m_hovered; }
    QSize sizeHint() const override { return m_size; }

signals:
    void hoverChanged(bool hovered);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QSize m_size;
    Painter m_painter;
    bool m_hovered = false;
};
