#include "market/MarketWindowModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include "engine/core/Delivery.h"
#include "engine/core/WorkerThread.h"
#include "online/MarketInstallFlow.h"
#include "online/MarketService.h"

namespace {

const QStringList kBuiltInCategories{QStringLiteral("转场"), QStringLiteral("效果"), QStringLiteral("字幕"),
                                     QStringLiteral("发生器")};

// Spaces and tabs only: a keyword keeps its line breaks.
QString trimBlanks(const QString& text)
{
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype start = 0;
    qsizetype end = text.size();
    while (start < end && blank(text.at(start)))
        ++start;
    while (end > start && blank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

bool sameQuery(const MarketWindowModel::ListQuery& a, const MarketWindowModel::ListQuery& b)
{
    return a.keyword == b.keyword && a.category == b.category && a.sort == b.sort && a.page == b.page
           && a.pageSize == b.pageSize;
}

} // namespace

QString MarketToast::symbol(Kind kind)
{
    switch (kind) {
    case Kind::ok:
        return QStringLiteral("checkmark.circle.fill");
    case Kind::warn:
        return QStringLiteral("exclamationmark.triangle.fill");
    case Kind::error:
        return QStringLiteral("xmark.octagon.fill");
    }
    return {};
}

MarketWindowModel::Backend MarketWindowModel::serviceBackend(MarketInstallFlow* flow)
{
    QPointer<MarketInstallFlow> guard(flow);
    Backend b;
    b.list = [](const ListQuery& q, QObject* context, Reply<MarketListPayload> done) {
        MarketService::list(q.keyword, q.category, q.sort, q.page, q.pageSize, context, std::move(done));
    };
    b.featured = [](QObject* context, Reply<QList<MarketPlugin>> done) {
        MarketService::featured(context, std::move(done));
    };
    b.orders = [](QObject* context, Reply<QList<MarketPurchase>> done) {
        MarketService::orders(context, std::move(done));
    };
    b.favorites = [](QObject* context, Reply<QList<MarketPlugin>> done) {
        MarketService::favorites(context, std::move(done));
    };
    b.setFavorite = [](const QString& id, bool favorited, QObject* context, Reply<std::optional<bool>> done) {
        MarketService::setFavorite(id, favorited, context, [done](std::optional<bool> answer) { done(answer); });
    };
    b.download = [](const QString& id, QObject* context, Reply<MarketDownloadResult> done) {
        MarketService::download(id, context, std::move(done));
    };
    b.snapshot = [] { return MarketInstallRegistry::snapshot(); };
    b.flowBusy = [guard] { return guard && guard->isBusy(); };
    b.startFlow = [guard](const QString& id, const QString& name, const QString& url, const QString& fileName,
                          qint64 fileSize, std::function<void()> onChanged) {
        if (guard)
            guard->start(id, name, url, fileName, fileSize, std::move(onChanged));
    };
    return b;
}

MarketWindowModel::MarketWindowModel(Backend backend, std::function<bool()> signedIn, QObject* parent)
    : MarketWindowModel(std::move(backend), std::move(signedIn), Timing{}, parent)
{
}

MarketWindowModel::MarketWindowModel(Backend backend, std::function<bool()> signedIn, Timing timing,
                                     QObject* parent)
    : QObject(parent), m_backend(std::move(backend)), m_signedIn(std::move(signedIn)), m_timing(timing)
{
}

bool MarketWindowModel::isSignedIn() const
{
    return m_signedIn && m_signedIn();
}

// ---- Derived ----

QString MarketWindowModel::countText() const
{
    switch (m_tab) {
    case Tab::shop:
        return m_plugins.isEmpty() ? QString() : QStringLiteral("共 %1 个插件").arg(m_total);
    case Tab::purchases:
        return purchaseSummary();
    case Tab::favorites:
        return favoriteSummary();
    }
    return {};
}

QString MarketWindowModel::purchaseSummary() const
{
    if (!m_purchasesLoaded)
        return QStringLiteral("购买记录：读取中…");
    if (m_purchases.isEmpty())
        return QStringLiteral("购买记录：0 笔");
    // Amounts come from the server: the sum saturates instead of overflowing.
    qint64 sum = 0;
    for (const MarketPurchase& purchase : m_purchases) {
        qint64 next = 0;
        if (__builtin_add_overflow(sum, purchase.amount, &next))
            next = purchase.amount > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
        sum = next;
    }
    return QStringLiteral("共 %1 笔 · 合计 %2").arg(m_purchases.size()).arg(MarketPlugin::money(sum));
}

QString MarketWindowModel::favoriteSummary() const
{
    if (!m_favoritesLoaded)
        return QStringLiteral("收藏：读取中…");
    if (m_favorites.isEmpty())
        return QStringLiteral("收藏：0 个");
    return QStringLiteral("共收藏 %1 个插件").arg(m_favorites.size());
}

QStringList MarketWindowModel::marketCategories() const
{
    QStringList result = kBuiltInCategories;
    for (const QString& name : m_categories) {
        if (!kBuiltInCategories.contains(name))
            result.append(name);
    }
    return result;
}

int MarketWindowModel::totalPagesFor(qint64 total, qsizetype listed)
{
    const qint64 count = std::max<qint64>(total, listed);
    if (count <= 0)
        return 1;
    const qint64 pages = count / pageSize + (count % pageSize != 0 ? 1 : 0);
    return int(std::clamp<qint64>(pages, 1, std::numeric_limits<int>::max()));
}

QList<int> MarketWindowModel::pageWindowFor(int page, int totalPages)
{
    if (totalPages < 2)
        return {};
    const int start = std::max(std::min(totalPages - 4, page - 2), 1);
    const int end = std::min(start + 4, totalPages);
    QList<int> window;
    for (int n = start; n <= end; ++n)
        window.append(n);
    return window;
}

int MarketWindowModel::totalPages() const
{
    return totalPagesFor(m_total, m_plugins.size());
}

QList<int> MarketWindowModel::pageWindow() const
{
    return pageWindowFor(m_page, totalPages());
}

MarketWindowModel::ShopContent MarketWindowModel::shopContent() const
{
    if (!m_enabled)
        return ShopContent::closedBanner;
    if (m_isLoading && m_plugins.isEmpty())
        return ShopContent::loading;
    return m_plugins.isEmpty() ? ShopContent::empty : ShopContent::list;
}

QString MarketWindowModel::emptyShopTitle() const
{
    return m_keyword.isEmpty() && m_category.isEmpty() ? QStringLiteral("还没有上架的插件")
                                                       : QStringLiteral("没有匹配的插件");
}

QString MarketWindowModel::emptyShopText() const
{
    return m_keyword.isEmpty() && m_category.isEmpty() ? QStringLiteral("运营添加插件后会显示在这里。")
                                                       : QStringLiteral("换个关键词或分类试试。");
}

MarketPlugin MarketWindowModel::pluginFromPurchase(const MarketPurchase& purchase)
{
    MarketPlugin plugin;
    plugin.pluginId = purchase.pluginId;
    plugin.name = purchase.pluginName;
    plugin.category = purchase.category;
    plugin.version = purchase.version;
    plugin.coverUrl = purchase.coverUrl;
    plugin.fileSize = purchase.fileSize;
    plugin.owned = true;
    plugin.price = purchase.amount;
    plugin.finalPrice = purchase.amount;
    return plugin;
}

// ---- Loading ----

void MarketWindowModel::bootstrap()
{
    load(1);
    loadFeatured();
    refreshInstalled();
    if (isSignedIn()) {
        loadPurchases(true);
        loadFavorites(true);
    }
}

void MarketWindowModel::load(int page)
{
    ListQuery query;
    query.keyword = trimBlanks(m_keyword);
    query.category = m_category;
    query.sort = m_sort;
    query.page = std::max(page, 1);
    // The same request already under way gives the same page: no second one.
    if (m_isLoading && m_pendingQuery && sameQuery(*m_pendingQuery, query))
        return;
    m_pendingQuery = query;
    const quint64 generation = ++m_listGeneration;
    if (!m_isLoading) {
        m_isLoading = true;
        emit shopChanged();
    }
    m_backend.list(query, this, [this, generation, page = query.page](const MarketListPayload& payload) {
        if (generation != m_listGeneration)
            return; // a newer request owns the list
        m_plugins = payload.plugins;
        m_categories = payload.categories;
        m_total = payload.total;
        m_enabled = payload.enabled;
        const bool moved = m_page != page;
        m_page = page;
        m_isLoading = false;
        m_pendingQuery.reset();
        emit shopChanged();
        if (moved)
            emit pageChanged();
    });
}

void MarketWindowModel::loadFeatured()
{
    const quint64 generation = ++m_featuredGeneration;
    m_backend.featured(this, [this, generation](const QList<MarketPlugin>& list) {
        if (generation != m_featuredGeneration)
            return;
        m_featured = list;
        m_carouselIndex = std::min(m_carouselIndex, std::max(int(m_featured.size()) - 1, 0));
        emit featuredChanged();
    });
}

void MarketWindowModel::loadPurchases(bool force)
{
    if (!isSignedIn()) {
        m_purchases.clear();
        m_purchasesLoaded = true;
        emit purchasesChanged();
        return;
    }
    if (m_purchasesLoading || (m_purchasesLoaded && !force))
        return;
    m_purchasesLoading = true;
    emit purchasesChanged();
    const quint64 generation = ++m_purchasesGeneration;
    m_backend.orders(this, [this, generation](const QList<MarketPurchase>& list) {
        if (generation != m_purchasesGeneration)
            return;
        m_purchases = list;
        m_purchasesLoading = false;
        m_purchasesLoaded = true;
        emit purchasesChanged();
        refreshInstalled();
    });
}

void MarketWindowModel::loadFavorites(bool force)
{
    if (!isSignedIn()) {
        m_favorites.clear();
        m_favoritesLoaded = true;
        emit favoritesChanged();
        return;
    }
    if (m_favoritesLoading || (m_favoritesLoaded && !force))
        return;
    m_favoritesLoading = true;
    emit favoritesChanged();
    const quint64 generation = ++m_favoritesGeneration;
    m_backend.favorites(this, [this, generation](const QList<MarketPlugin>& list) {
        if (generation != m_favoritesGeneration)
            return;
        m_favorites = list;
        m_favoritesLoading = false;
        m_favoritesLoaded = true;
        emit favoritesChanged();
        refreshInstalled();
    });
}

void MarketWindowModel::refreshInstalled()
{
    if (!m_backend.snapshot)
        return;
    const quint64 generation = ++m_installedGeneration;
    Delivery<MarketWindowModel> deliver(this);
    // Without a thread, or memory, the marks stay as they were until the next refresh.
    (void)WorkerThread::start([deliver, generation, snapshot = m_backend.snapshot] {
        try {
            MarketInstallRegistry::InstalledSnapshot result = snapshot();
            deliver([generation, result = std::move(result)](MarketWindowModel& model) {
                if (generation != model.m_installedGeneration)
                    return;
                model.m_installed = result;
                emit model.installedChanged();
            });
        } catch (...) {
        }
    });
}

// ---- Events ----

void MarketWindowModel::onShouldRefresh()
{
    if (m_tab == Tab::shop) {
        load(1);
        loadFeatured();
    }
    if (isSignedIn()) {
        loadPurchases(true);
        loadFavorites(true);
    }
}

void MarketWindowModel::selectTab(Tab tab)
{
    if (tab == m_tab)
        return;
    m_tab = tab;
    emit tabChanged();
    reloadTab();
}

void MarketWindowModel::refresh()
{
    reloadTab();
}

void MarketWindowModel::reloadTab()
{
    switch (m_tab) {
    case Tab::shop:
        load(1);
        loadFeatured();
        break;
    case Tab::purchases:
        loadPurchases(true);
        break;
    case Tab::favorites:
        loadFavorites(true);
        break;
    }
}

void MarketWindowModel::setSort(MarketSort sort)
{
    if (sort == m_sort)
        return;
    m_sort = sort;
    emit queryChanged();
    load(1);
}

void MarketWindowModel::setKeyword(const QString& keyword)
{
    if (keyword == m_keyword)
        return;
    m_keyword = keyword;
    emit queryChanged();
}

void MarketWindowModel::submitSearch()
{
    load(1);
}

void MarketWindowModel::clearSearch()
{
    setKeyword(QString());
    load(1);
}

void MarketWindowModel::chooseCategory(const QString& category)
{
    if (category != m_category) {
        m_category = category;
        emit queryChanged();
    }
    load(1);
}

void MarketWindowModel::goToPage(int n)
{
    const int target = std::min(std::max(n, 1), totalPages());
    if (target != m_page && !m_isLoading)
        load(target);
}

void MarketWindowModel::step(int delta)
{
    setCarouselIndex(m_carouselIndex + delta);
}

void MarketWindowModel::setCarouselIndex(int index)
{
    const int clamped = std::min(std::max(index, 0), std::max(int(m_featured.size()) - 1, 0));
    if (clamped == m_carouselIndex)
        return;
    m_carouselIndex = clamped;
    emit featuredChanged();
}

void MarketWindowModel::signedOut()
{
    ++m_accountEpoch;
    ++m_purchasesGeneration;
    ++m_favoritesGeneration;
    m_purchases.clear();
    m_purchasesLoading = false;
    m_purchasesLoaded = true;
    m_favorites.clear();
    m_favoritesLoading = false;
    m_favoritesLoaded = true;
    m_unfavoritingId.reset();
    emit purchasesChanged();
    emit favoritesChanged();
    if (m_detailPlugin) {
        m_detailPlugin.reset();
        emit detailChanged();
    }
}

// ---- Detail panel ----

void MarketWindowModel::requestDetail(const MarketPlugin& plugin)
{
    emit detailRequested(plugin);
}

void MarketWindowModel::openPurchaseDetail(const MarketPurchase& purchase)
{
    if (purchase.pluginId.isEmpty()) {
        showToast(QStringLiteral("这条记录缺少插件信息，请联系客服"), MarketToast::Kind::warn);
        return;
    }
    requestDetail(pluginFromPurchase(purchase));
}

void MarketWindowModel::openDetail(const MarketPlugin& plugin)
{
    m_detailPlugin = plugin;
    emit detailChanged();
}

void MarketWindowModel::closeDetail()
{
    if (m_detailPlugin) {
        m_detailPlugin.reset();
        emit detailChanged();
    }
    load(m_page);
    loadPurchases(true);
    loadFavorites(true);
}

void MarketWindowModel::detailDidChange()
{
    load(m_page);
    loadFeatured();
    loadPurchases(true);
    loadFavorites(true);
    refreshInstalled();
}

// ---- Actions ----

void MarketWindowModel::removeFavorite(const MarketPlugin& plugin)
{
    if (m_unfavoritingId)
        return;
    const QString id = plugin.pluginId;
    m_unfavoritingId = id;
    // Where each removed entry stood, to put it back there if the server keeps it.
    QList<std::pair<qsizetype, MarketPlugin>> removed;
    for (qsizetype i = 0; i < m_favorites.size(); ++i) {
        if (m_favorites.at(i).pluginId == id)
            removed.append({i, m_favorites.at(i)});
    }
    m_favorites.removeIf([&id](const MarketPlugin& p) { return p.pluginId == id; });
    emit favoritesChanged();

    const quint64 epoch = m_accountEpoch;
    const QString name = plugin.name;
    m_backend.setFavorite(id, false, this, [this, epoch, id, name, removed](const std::optional<bool>& answer) {
        if (epoch != m_accountEpoch)
            return; // signed out meanwhile: nothing of that account is shown any more
        m_unfavoritingId.reset();
        if (answer && !*answer) {
            emit favoritesChanged();
            showToast(QStringLiteral("已取消收藏「%1」").arg(name), MarketToast::Kind::ok);
            return;
        }
        // Back into the list as it is now (a reload may have replaced it), unless it is there.
        const bool present = std::any_of(m_favorites.cbegin(), m_favorites.cend(),
                                         [&id](const MarketPlugin& p) { return p.pluginId == id; });
        if (!present) {
            for (const auto& [index, entry] : removed)
                m_favorites.insert(std::min(index, m_favorites.size()), entry);
        }
        emit favoritesChanged();
        if (answer)
            showToast(QStringLiteral("取消失败，请稍后再试"), MarketToast::Kind::warn);
        else
            showToast(QStringLiteral("网络异常，取消失败"), MarketToast::Kind::error);
    });
}

void MarketWindowModel::redownload(const MarketPurchase& purchase)
{
    if (m_backend.flowBusy && m_backend.flowBusy()) {
        showToast(QStringLiteral("正在下载另一个插件，稍等一下"), MarketToast::Kind::warn);
        return;
    }
    if (purchase.available == false) {
        showToast(QStringLiteral("这个插件已下架，暂时不能重新下载"), MarketToast::Kind::warn);
        return;
    }
    if (purchase.pluginId.isEmpty()) {
        showToast(QStringLiteral("这条记录缺少插件信息，请联系客服"), MarketToast::Kind::warn);
        return;
    }
    const quint64 epoch = m_accountEpoch;
    m_backend.download(purchase.pluginId, this, [this, epoch, purchase](const MarketDownloadResult& result) {
        if (epoch != m_accountEpoch)
            return;
        switch (result.kind) {
        case MarketDownloadResult::Kind::failure:
            showToast(result.message, MarketToast::Kind::error);
            return;
        case MarketDownloadResult::Kind::needBuy:
            showToast(QStringLiteral("请先购买后再下载"), MarketToast::Kind::warn);
            return;
        case MarketDownloadResult::Kind::ok:
            loadPurchases(true);
            startDownload(purchase.pluginId, purchase.pluginName, result.url, result.fileName, result.fileSize,
                          result.risk);
            return;
        }
    });
}

void MarketWindowModel::startDownload(const QString& pluginId, const QString& name, const QString& url,
                                      const QString& fileName, qint64 fileSize,
                                      const std::optional<MarketRisk>& risk)
{
    if (risk && risk->level != QLatin1String("ok") && !risk->tip.isEmpty())
        showToast(risk->tip, MarketToast::Kind::warn);
    // The ticket may arrive after another download began: say so instead of doing nothing.
    if (m_backend.flowBusy && m_backend.flowBusy()) {
        showToast(QStringLiteral("正在下载另一个插件，稍等一下"), MarketToast::Kind::warn);
        return;
    }
    if (!m_backend.startFlow)
        return;
    QPointer<MarketWindowModel> self(this);
    m_backend.startFlow(pluginId, name, url, fileName, fileSize, [self] {
        if (!self)
            return;
        self->load(self->m_page);
        self->loadPurchases(true);
        self->loadFeatured();
        self->refreshInstalled();
    });
}

void MarketWindowModel::showToast(const QString& text, MarketToast::Kind kind)
{
    const QUuid id = QUuid::createUuid();
    m_toast = MarketToast{id, text, kind};
    emit toastChanged();
    const int lifetime = kind == MarketToast::Kind::warn ? m_timing.warnToastMs : m_timing.toastMs;
    // Precise: a coarse timer (Qt's choice from 2 s up) may end a toast up to 5 % early.
    QTimer::singleShot(lifetime, Qt::PreciseTimer, this, [this, id] {
        // A newer toast keeps its own full time.
        if (!m_toast || m_toast->id != id)
            return;
        m_toast.reset();
        emit toastChanged();
    });
}
