#pragma once

#include <QWidget>

// A count at the trailing edge of a frame at least 18 wide, in the brand colour when
// highlighted and secondary otherwise.
class CountBadge : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMinWidth = 18;

    explicit CountBadge(qint64 count = 0, bool highlighted = false, QWidget* parent = nullptr);

    void setCount(qint64 count);
    void setHighlighted(bool highlighted);
    qint64 count() const { return m_count; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qint64 m_count;
    bool m_highlighted;
};
