#pragma once

#include <QTimer>
#include <QWidget>

// The indeterminate activity spinner: twelve spokes, one highlighted, turning while the
// spinner is visible. Small is 16 across, regular 32.
class BusySpinner : public QWidget
{
    Q_OBJECT
public:
    enum class Size {
        small,
        regular
    };

    static constexpr int kSmallSide = 16;
    static constexpr int kRegularSide = 32;
    static constexpr int kSpokes = 12;
    static constexpr int kStepMs = 80;

    explicit BusySpinner(Size size = Size::regular, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int m_side;
    int m_step = 0;
    QTimer m_timer;
};
