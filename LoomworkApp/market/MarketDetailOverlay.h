#pragma once

#include <functional>

#include <QPointer>
#include <QWidget>

#include "market/MarketDetailModel.h"
#include "market/MarketMediaPanel.h"
#include "market/MarketPayCard.h"
#include "market/MarketPayModel.h"

class BusySpinner;
class QAbstractButton;
class PaintedButton;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QScrollArea;
class QShortcut;
class QStackedWidget;
class QVBoxLayout;

// Lies over the whole market window while one plug-in is open: a dimming backdrop that
// keeps clicks from the window (it does not close), the fixed detail panel, and the pay
// card above both while paying. Closing is the window's business through onClose.
class MarketDetailOverlay : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPanelWidth = 920;
    static constexpr int kPanelHeight = 560;
    static constexpr int kMediaWidth = 520;
    static constexpr int kTopHeight = 325; // the media width at 16:10

    struct Setup {
        MarketDetailModel::Hooks hooks;
        std::function<void()> onClose;
        MarketMediaModel::PlayerFactory makePlayer = &MarketMediaPanel::makeQtPlayer;
        MarketMediaPanel::WebFactory makeWeb = &MarketMediaPanel::makeWebPlayer;
        MarketPayModel::Service payService = MarketPayModel::liveService();
    };

    // Fills `host` and follows its size.
    MarketDetailOverlay(MarketPlugin plugin, MarketInstallFlow* flow, Setup setup, QWidget* host);

    MarketDetailModel& model() { return *m_model; }
    MarketMediaPanel* media() const { return m_media; }
    MarketPayCard* payCard() const;
    QWidget* panel() const { return m_panel; }
    QRect panelGeometry() const;

    // Texts and controls, for tests.
    QAbstractButton* primaryButton() const;
    QAbstractButton* favoriteButton() const;
    QAbstractButton* closeButton() const;
    QWidget* installedBadge() const;
    QString progressText() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildTitleColumn(QWidget* column);
    void refresh();
    void syncPay();
    void close();

    MarketDetailModel* m_model;
    std::function<void()> m_onClose;
    MarketPayModel::Service m_payService;
    bool m_closed = false;
    bool m_appeared = false;

    QWidget* m_panel;
    MarketMediaPanel* m_media;
    PaintedButton* m_close;
    QHBoxLayout* m_badges;
    BusySpinner* m_loadingSpinner;
    QLabel* m_name;
    QLabel* m_subtitle;
    QLabel* m_author;
    QLabel* m_price;
    QLabel* m_originalPrice;
    QLabel* m_ownership;
    QHBoxLayout* m_chips;
    QHBoxLayout* m_counters;
    PaintedButton* m_favorite;
    BusySpinner* m_favSpinner;
    QStackedWidget* m_action;
    QLabel* m_stageTitle;
    QProgressBar* m_stageBar;
    BusySpinner* m_stageSpinner;
    QWidget* m_installed;
    PaintedButton* m_primary;
    QShortcut* m_returnKey;
    QScrollArea* m_scroll;
    QLabel* m_description;
    QWidget* m_descriptionBlock;
    QWidget* m_payLayer;
    QPointer<MarketPayCard> m_payCard;
};
