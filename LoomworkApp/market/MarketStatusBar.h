#pragma once

#include <QWidget>

#include "online/MarketInstallStage.h"

class BusySpinner;
class QProgressBar;

// The bar along the bottom of the market window: the install flow's progress while it
// downloads or installs, else the hint line; the closing hint on the right.
class MarketStatusBar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kSidePadding = 60;
    static constexpr int kVerticalPadding = 8;
    static constexpr int kBarWidth = 110;

    explicit MarketStatusBar(QWidget* parent = nullptr);

    void setStage(const MarketInstallStage& stage);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void relayout();

    MarketInstallStage m_stage;
    BusySpinner* m_spinner;
    QProgressBar* m_bar;
};
