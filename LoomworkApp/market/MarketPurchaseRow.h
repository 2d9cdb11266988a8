#pragma once

#include <QWidget>

#include "online/MarketInstallStage.h"
#include "online/MarketModels.h"

class BusySpinner;
class MarketCoverThumb;
class MarketRowTitle;
class MarketSmallButton;
class QProgressBar;

// One line of the purchase history: cover and name (both open the detail panel), pay time,
// size and "已下架", or the download progress while this plug-in's stage runs; the price
// paid; "已安装" or the re-download button.
class MarketPurchaseRow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 60;
    static constexpr int kLeading = 60;
    static constexpr int kTrailing = 43;
    static constexpr int kThumbWidth = 46;

    explicit MarketPurchaseRow(QWidget* parent = nullptr);

    void setItem(const MarketPurchase& item);
    void setStage(const MarketInstallStage& stage);
    void setInstalled(bool installed);
    const MarketPurchase& item() const { return m_item; }

    QString metaText() const;
    QString priceText() const;
    // The action as shown: "已安装", or the button's text and whether it is enabled.
    QString actionText() const;
    bool actionEnabled() const;
    MarketSmallButton* button() const { return m_button; }

    QSize sizeHint() const override { return {600, kHeight}; }

signals:
    void openRequested();
    void redownloadRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void sync();
    void relayout();
    qreal priceWidth() const;

    MarketPurchase m_item;
    MarketInstallStage m_stage;
    bool m_installed = false;
    MarketCoverThumb* m_thumb;
    MarketRowTitle* m_title;
    MarketSmallButton* m_button;
    QProgressBar* m_bar;
    BusySpinner* m_spinner;
};
