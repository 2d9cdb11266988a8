#pragma once

#include <functional>
#include <optional>

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "engine/market/MarketInstallRegistry.h"
#include "online/MarketModels.h"
#include "market/MarketToast.h"

class MarketInstallFlow;

// The state of the market window without widgets: the selected tab, one page of the shop
// with its query, the featured plug-ins, the user's purchases and favourites, the
// installed snapshot, the plug-in asked for in the detail panel and the toast. Every
// request goes through `Backend` (the market service by default); each kind of list
// carries a generation, so only the newest request's reply is applied.
class MarketWindowModel : public QObject
{
    Q_OBJECT
public:
    enum class Tab {
        shop,
        purchases,
        favorites
    };

    // What the shop body shows, by precedence.
    enum class ShopContent {
        closedBanner,
        loading,
        list,
        empty
    };

    static constexpr int pageSize = 20;

    struct ListQuery
    {
        QString keyword; // trimmed of blanks and tabs
        QString category;
        MarketSort sort = MarketSort::latest;
        int page = 1;
        int pageSize = MarketWindowModel::pageSize;
    };

    template <typename T>
    using Reply = std::function<void(const T&)>;

    // The requests and the install flow the window works with. Each request answers once,
    // on the GUI thread, never once `context` is gone. `snapshot` runs on a worker thread.
    struct Backend
    {
        std::function<void(const ListQuery&, QObject* context, Reply<MarketListPayload>)> list;
        std::function<void(QObject* context, Reply<QList<MarketPlugin>>)> featured;
        std::function<void(QObject* context, Reply<QList<MarketPurchase>>)> orders;
        std::function<void(QObject* context, Reply<QList<MarketPlugin>>)> favorites;
        std::function<void(const QString& pluginId, bool favorited, QObject* context,
                           Reply<std::optional<bool>>)>
            setFavorite;
        std::function<void(const QString& pluginId, QObject* context, Reply<MarketDownloadResult>)> download;
        std::function<MarketInstallRegistry::InstalledSnapshot()> snapshot;
        // The window's install flow: busy while downloading or installing.
        std::function<bool()> flowBusy;
        std::function<void(const QString& pluginId, const QString& name, const QString& url,
                           const QString& fileName, qint64 fileSize, std::function<void()> onChanged)>
            startFlow;
    };

    struct Timing
    {
        int toastMs = 3200;     // ok and error
        int warnToastMs = 6500; // warn
    };

    // The market service, the registry and `flow`.
    static Backend serviceBackend(MarketInstallFlow* flow);

    MarketWindowModel(Backend backend, std::function<bool()> signedIn, QObject* parent = nullptr);
    MarketWindowModel(Backend backend, std::function<bool()> signedIn, Timing timing,
                      QObject* parent = nullptr);

    // State.
    Tab tab() const { return m_tab; }
    const QList<MarketPlugin>& plugins() const { return m_plugins; }
    const QList<MarketPlugin>& featured() const { return m_featured; }
    const QStringList& categories() const { return m_categories; }
    qint64 total() const { return m_total; }
    bool enabled() const { return m_enabled; }
    const QString& keyword() const { return m_keyword; }
    const QString& category() const { return m_category; }
    MarketSort sort() const { return m_sort; }
    bool isLoading() const { return m_isLoading; }
    int page() const { return m_page; }
    int carouselIndex() const { return m_carouselIndex; }
    const QList<MarketPurchase>& purchases() const { return m_purchases; }
    bool purchasesLoading() const { return m_purchasesLoading; }
    const QList<MarketPlugin>& favorites() const { return m_favorites; }
    bool favoritesLoading() const { return m_favoritesLoading; }
    const std::optional<QString>& unfavoritingId() const { return m_unfavoritingId; }
    const MarketInstallRegistry::InstalledSnapshot& installed() const { return m_installed; }
    const std::optional<MarketPlugin>& detailPlugin() const { return m_detailPlugin; }
    const std::optional<MarketToast>& toast() const { return m_toast; }
    bool isSignedIn() const;

    // Derived.
    QString countText() const;
    QString purchaseSummary() const;
    QString favoriteSummary() const;
    QStringList marketCategories() const;
    int totalPages() const;
    QList<int> pageWindow() const;
    ShopContent shopContent() const;
    // The empty shop's title and line: "no match" once a keyword (as typed) or category is set.
    QString emptyShopTitle() const;
    QString emptyShopText() const;

    static int totalPagesFor(qint64 total, qsizetype listed);
    static QList<int> pageWindowFor(int page, int totalPages);
    // A purchase record as the plug-in its detail panel shows.
    static MarketPlugin pluginFromPurchase(const MarketPurchase& purchase);

    // Loading.
    void bootstrap();
    void load(int page);
    void loadFeatured();
    void loadPurchases(bool force);
    void loadFavorites(bool force);
    void refreshInstalled();

    // Events of the window.
    void onShouldRefresh();
    void selectTab(Tab tab);
    void refresh();
    void setSort(MarketSort sort);
    void setKeyword(const QString& keyword); // typing: nothing loads
    void submitSearch();
    void clearSearch();
    void chooseCategory(const QString& category); // empty: all categories
    void goToPage(int n);
    void step(int delta);
    void setCarouselIndex(int index);
    // The user signed out: the account lists are emptied and their late replies dropped, and
    // the detail panel closes (its ownership belonged to the member who left).
    void signedOut();

    // Detail panel.
    void requestDetail(const MarketPlugin& plugin);
    void openPurchaseDetail(const MarketPurchase& purchase);
    void openDetail(const MarketPlugin& plugin);
    void closeDetail();
    void detailDidChange();

    // Actions.
    void removeFavorite(const MarketPlugin& plugin);
    void redownload(const MarketPurchase& purchase);
    void startDownload(const QString& pluginId, const QString& name, const QString& url,
                       const QString& fileName, qint64 fileSize, const std::optional<MarketRisk>& risk);
    void showToast(const QString& text, MarketToast::Kind kind);

signals:
    void tabChanged();
    void queryChanged();    // keyword, category or sort
    void shopChanged();     // plugins, categories, total, enabled, isLoading
    void pageChanged();     // a new page is on screen
    void featuredChanged(); // featured or carouselIndex
    void purchasesChanged();
    void favoritesChanged(); // list, loading flags or unfavoritingId
    void installedChanged();
    void detailChanged();
    void toastChanged();
    // A card or row asks for the detail panel of `plugin`.
    void detailRequested(const MarketPlugin& plugin);

private:
    void reloadTab();

    Backend m_backend;
    std::function<bool()> m_signedIn;
    Timing m_timing;

    Tab m_tab = Tab::shop;
    QList<MarketPlugin> m_plugins;
    QList<MarketPlugin> m_featured;
    QStringList m_categories;
    qint64 m_total = 0;
    bool m_enabled = true;
    QString m_keyword;
    QString m_category;
    MarketSort m_sort = MarketSort::latest;
    bool m_isLoading = false;
    int m_page = 1;
    int m_carouselIndex = 0;
    QList<MarketPurchase> m_purchases;
    bool m_purchasesLoading = false;
    bool m_purchasesLoaded = false;
    QList<MarketPlugin> m_favorites;
    bool m_favoritesLoading = false;
    bool m_favoritesLoaded = false;
    std::optional<QString> m_unfavoritingId;
    MarketInstallRegistry::InstalledSnapshot m_installed;
    std::optional<MarketPlugin> m_detailPlugin;
    std::optional<MarketToast> m_toast;

    std::optional<ListQuery> m_pendingQuery;
    quint64 m_listGeneration = 0;
    quint64 m_featuredGeneration = 0;
    quint64 m_purchasesGeneration = 0;
    quint64 m_favoritesGeneration = 0;
    quint64 m_installedGeneration = 0;
    quint64 m_accountEpoch = 0; // bumped at sign-out
};
