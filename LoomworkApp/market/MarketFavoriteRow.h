#pragma once

#include <QWidget>

#include "online/MarketModels.h"

class MarketCoverThumb;
class MarketRowTitle;
class MarketSmallButton;

// One line of the favourites: cover and name (both open the detail panel, as does a
// double click anywhere on the row), category, size and the date it was kept, ownership
// or price, and the button that removes it (a spinner while it is being removed).
class MarketFavoriteRow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 60;

    explicit MarketFavoriteRow(QWidget* parent = nullptr);

    void setPlugin(const MarketPlugin& plugin);
    void setInstalled(bool installed);
    void setRemoving(bool removing);
    const MarketPlugin& plugin() const { return m_plugin; }

    QString metaText() const;
    // "已安装", "已拥有" or the price.
    QString trailingText() const;
    static QString favoriteDateText(std::optional<qint64> favoritedAt);
    MarketSmallButton* button() const { return m_button; }

    QSize sizeHint() const override { return {600, kHeight}; }

signals:
    void openRequested();
    void removeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void relayout();
    qreal trailingWidth() const;

    MarketPlugin m_plugin;
    bool m_installed = false;
    MarketCoverThumb* m_thumb;
    MarketRowTitle* m_title;
    MarketSmallButton* m_button;
};
