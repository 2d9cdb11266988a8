#pragma once

#include <functional>
#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>

#include "market/MarketToast.h"
#include "online/MarketInstallFlow.h"
#include "online/MarketModels.h"

// What the detail panel knows and does for one market plug-in: the shown record, owned and
// install stage, favourite and main action, detail reload and installed check. Widget-free;
// the overlay draws it. Replies that arrive after the panel closed still reach the window
// through the callbacks (they are the window's), never the panel.
class MarketDetailModel : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<bool()> signedIn;
        std::function<void()> onChanged;
        std::function<void(const QString&, MarketToast::Kind)> onToast;
        // Answers whether the plug-in is in a library; runs off the GUI thread.
        std::function<bool(const QString& pluginId, const QString& name)> isInstalled;
    };

    MarketDetailModel(MarketPlugin plugin, MarketInstallFlow* flow, Hooks hooks, QObject* parent = nullptr);

    // The panel came up: detail, then the installed check.
    void appear();
    void load();
    void refreshInstalled();
    void primaryAction();
    void toggleFavorite();
    void downloadAndInstall();
    // The pay card's answers.
    void payCancelled();
    void payPaid();

    const MarketPlugin& shown() const { return m_detail ? *m_detail : m_plugin; }
    const MarketPlugin& listEntry() const { return m_plugin; }
    bool owned() const { return shown().owned.value_or(false); }
    qint64 price() const;
    bool priced() const { return price() > 0; }
    MarketInstallStage stage() const;
    bool favorited() const;
    bool loading() const { return m_loading; }
    bool favBusy() const { return m_favBusy; }
    bool installed() const { return m_installed; }
    bool showPay() const { return m_showPay; }

    QString primaryTitle() const;
    QString primarySymbol() const;
    QString ownershipLine() const; // only when owned
    QString favoriteHelp() const;

signals:
    void changed();

private:
    void onStage(const MarketInstallStage& stage);
    void toast(const QString& text, MarketToast::Kind kind);

    MarketPlugin m_plugin;
    QPointer<MarketInstallFlow> m_flow;
    Hooks m_hooks;
    std::optional<MarketPlugin> m_detail;
    bool m_loading = false;
    bool m_showPay = false;
    bool m_installed = false;
    std::optional<bool> m_favOverride;
    bool m_favBusy = false;
    int m_installedCheck = 0;
};
