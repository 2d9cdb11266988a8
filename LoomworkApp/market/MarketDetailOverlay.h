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
// card above both while paying. Closing is the window's business through onClose. While it
// is shown it holds the keyboard: Tab goes round inside it, nothing behind it gets a key.
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

    // Texts and controls, for tests.
    QAbstractButton* primaryButton() const;
    QAbstractButton* closeButton() const;
    QWidget* installedBadge() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void buildTitleColumn(QWidget* column);
    void refresh();
    void syncPay();
    void close();

    MarketDetailModel* m_model = nullptr;
    std::function<void()> m_onClose;
    MarketPayModel::Service m_payService;
    bool m_closed = false;
    bool m_appeared = false;

    QWidget* m_panel = nullptr;
    MarketMediaPanel* m_media = nullptr;
    PaintedButton* m_close = nullptr;
    QHBoxLayout* m_badges = nullptr;
    BusySpinner* m_loadingSpinner = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_subtitle = nullptr;
    QLabel* m_author = nullptr;
    QLabel* m_price = nullptr;
    QLabel* m_originalPrice = nullptr;
    QLabel* m_ownership = nullptr;
    QHBoxLayout* m_chips = nullptr;
    QHBoxLayout* m_counters = nullptr;
    PaintedButton* m_favorite = nullptr;
    BusySpinner* m_favSpinner = nullptr;
    QStackedWidget* m_action = nullptr;
    QLabel* m_stageTitle = nullptr;
    QProgressBar* m_stageBar = nullptr;
    BusySpinner* m_stageSpinner = nullptr;
    QWidget* m_installed = nullptr;
    PaintedButton* m_primary = nullptr;
    QShortcut* m_returnKey = nullptr;
    QScrollArea* m_scroll = nullptr;
    QLabel* m_description = nullptr;
    QWidget* m_descriptionBlock = nullptr;
    QWidget* m_payLayer = nullptr;
    QPointer<MarketPayCard> m_payCard;
    // Where the keys were before the panel took them; they go back there when it closes.
    QPointer<QWidget> m_returnFocus;
};
