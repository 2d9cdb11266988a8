#pragma once

#include <QList>
#include <QRectF>
#include <QWidget>

// The page controls under the shop grid: previous, the page window with the first and last
// page outside it behind an ellipsis, next. Painted; a click asks for a page.
class MarketPager : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kButton = 24;
    static constexpr int kSpacing = 6;

    struct Item
    {
        enum class Kind {
            previous,
            page,
            ellipsis,
            next
        };
        Kind kind;
        int page = 0; // the page it goes to (previous, page, next)
        QRectF rect;
        bool enabled = true;
    };

    explicit MarketPager(QWidget* parent = nullptr);

    void setState(int page, int totalPages, const QList<int>& window, bool loading);
    // The items as laid out for the current width.
    QList<Item> items() const;

    QSize sizeHint() const override { return {400, kButton + 2}; }

signals:
    void pageRequested(int page);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    int m_page = 1;
    int m_totalPages = 1;
    QList<int> m_window;
    bool m_loading = false;
};
