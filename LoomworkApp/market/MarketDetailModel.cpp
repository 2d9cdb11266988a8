#include "market/MarketDetailModel.h"

#include <QCoreApplication>

#include "engine/core/Delivery.h"
#include "engine/core/WorkerThread.h"
#include "online/MarketService.h"

namespace {

// Replies go to the window through a context that outlives the panel.
QObject* replyContext(MarketInstallFlow* flow)
{
    return flow ? static_cast<QObject*>(flow) : QCoreApplication::instance();
}

} // namespace

MarketDetailModel::MarketDetailModel(MarketPlugin plugin, MarketInstallFlow* flow, Hooks hooks, QObject* parent)
    : QObject(parent)
    , m_plugin(std::move(plugin))
    , m_flow(flow)
    , m_hooks(std::move(hooks))
{
    if (m_flow)
        connect(m_flow, &MarketInstallFlow::stageChanged, this, &MarketDetailModel::onStage);
}

qint64 MarketDetailModel::price() const
{
    const MarketPlugin& p = shown();
    return p.finalPrice.value_or(p.price.value_or(0));
}

MarketInstallStage MarketDetailModel::stage() const
{
    return m_flow ? m_flow->stageFor(m_plugin.pluginId) : MarketInstallStage::idle();
}

bool MarketDetailModel::favorited() const
{
    if (m_favOverride)
        return *m_favOverride;
    return shown().favorited.value_or(false);
}

QString MarketDetailModel::primaryTitle() const
{
    if (owned())
        return QStringLiteral("下载并安装");
    return priced() ? QStringLiteral("购买") : QStringLiteral("免费领取");
}

QString MarketDetailModel::primarySymbol() const
{
    if (owned())
        return QStringLiteral("arrow.down.circle.fill");
    return priced() ? QStringLiteral("creditcard.fill") : QStringLiteral("gift.fill");
}

QString MarketDetailModel::ownershipLine() const
{
    return m_installed ? QStringLiteral("已购买 · 已安装到插件库") : QStringLiteral("已购买 · 可直接下载安装");
}

QString MarketDetailModel::favoriteHelp() const
{
    return favorited() ? QStringLiteral("已加入「我的收藏」，点一下取消")
                       : QStringLiteral("加入「我的收藏」，以后在市场里一眼能找到");
}

void MarketDetailModel::toast(const QString& text, MarketToast::Kind kind)
{
    if (m_hooks.onToast)
        m_hooks.onToast(text, kind);
}

void MarketDetailModel::appear()
{
    load();
    refreshInstalled();
}

void MarketDetailModel::load()
{
    m_loading = true;
    emit changed();
    QPointer<MarketDetailModel> self(this);
    MarketService::detail(m_plugin.pluginId, replyContext(m_flow), [self](const std::optional<MarketPlugin>& plugin) {
        if (!self)
            return;
        if (plugin)
            self->m_detail = plugin;
        self->m_loading = false;
        self->refreshInstalled();
        emit self->changed();
    });
}

void MarketDetailModel::refreshInstalled()
{
    if (!m_hooks.isInstalled)
        return;
    const int check = ++m_installedCheck;
    Delivery<MarketDetailModel> deliver(this);
    // Without a thread, or memory, the mark stays as it was until the next check.
    (void)WorkerThread::start(
        [deliver, check, isInstalled = m_hooks.isInstalled, id = m_plugin.pluginId, name = shown().name] {
            try {
                const bool found = isInstalled(id, name);
                deliver([check, found](MarketDetailModel& model) {
                    // A newer check overwrites this one when it finishes.
                    if (check != model.m_installedCheck)
                        return;
                    model.m_installed = found;
                    emit model.changed();
                });
            } catch (...) {
            }
        });
}

void MarketDetailModel::primaryAction()
{
    if (stage().isBusy())
        return;
    if (owned()) {
        downloadAndInstall();
        return;
    }
    if (!m_hooks.signedIn || !m_hooks.signedIn()) {
        toast(QStringLiteral("请先在主界面登录后再购买"), MarketToast::Kind::warn);
        return;
    }
    if (priced()) {
        m_showPay = true;
        emit changed();
        return;
    }
    QPointer<MarketDetailModel> self(this);
    auto hooks = m_hooks;
    MarketService::buy(shown().pluginId, QString(), replyContext(m_flow), [self, hooks](const MarketBuyResult& result) {
        switch (result.kind) {
        case MarketBuyResult::Kind::order:
            if (self) {
                self->m_showPay = true;
                emit self->changed();
            }
            break;
        case MarketBuyResult::Kind::failure:
            if (hooks.onToast)
                hooks.onToast(result.message, MarketToast::Kind::error);
            break;
        case MarketBuyResult::Kind::free:
        case MarketBuyResult::Kind::owned:
            if (hooks.onChanged)
                hooks.onChanged();
            if (self) {
                self->load();
                self->downloadAndInstall();
            }
            break;
        }
    });
}

void MarketDetailModel::downloadAndInstall()
{
    QPointer<MarketDetailModel> self(this);
    QPointer<MarketInstallFlow> flow = m_flow;
    auto hooks = m_hooks;
    const QString id = shown().pluginId;
    const QString name = shown().name;
    MarketService::download(id, replyContext(m_flow), [self, flow, hooks, id, name](const MarketDownloadResult& result) {
        auto say = [&](const QString& text, MarketToast::Kind kind) {
            if (hooks.onToast)
                hooks.onToast(text, kind);
        };
        switch (result.kind) {
        case MarketDownloadResult::Kind::ok: {
            if (hooks.onChanged)
                hooks.onChanged();
            if (result.risk.level != QStringLiteral("ok") && !result.risk.tip.isEmpty())
                say(result.risk.tip, MarketToast::Kind::warn);
            if (!flow)
                break;
            const bool started = flow->start(id, name, result.url, result.fileName, result.fileSize, [self, hooks] {
                if (hooks.onChanged)
                    hooks.onChanged();
                if (self)
                    self->load();
            });
            if (!started)
                say(MarketInstallFlow::busyMessage, MarketToast::Kind::warn);
            break;
        }
        case MarketDownloadResult::Kind::needBuy:
            say(QStringLiteral("请先购买后再下载"), MarketToast::Kind::warn);
            if (self)
                self->load();
            break;
        case MarketDownloadResult::Kind::failure:
            say(result.message, MarketToast::Kind::error);
            break;
        }
    });
}

void MarketDetailModel::toggleFavorite()
{
    if (m_favBusy)
        return;
    if (!m_hooks.signedIn || !m_hooks.signedIn()) {
        toast(QStringLiteral("请先在主界面登录后再收藏"), MarketToast::Kind::warn);
        return;
    }
    const bool wanted = !favorited();
    m_favBusy = true;
    emit changed();
    QPointer<MarketDetailModel> self(this);
    auto hooks = m_hooks;
    MarketService::setFavorite(shown().pluginId, wanted, replyContext(m_flow), [self, hooks](std::optional<bool> value) {
        if (self) {
            self->m_favBusy = false;
            if (value)
                self->m_favOverride = value;
            emit self->changed();
        }
        if (!value) {
            if (hooks.onToast)
                hooks.onToast(QStringLiteral("收藏失败，请稍后重试"), MarketToast::Kind::error);
            return;
        }
        if (hooks.onToast)
            hooks.onToast(*value ? QStringLiteral("已加入「我的收藏」") : QStringLiteral("已取消收藏"), MarketToast::Kind::ok);
        if (hooks.onChanged)
            hooks.onChanged();
    });
}

void MarketDetailModel::payCancelled()
{
    m_showPay = false;
    emit changed();
}

void MarketDetailModel::payPaid()
{
    m_showPay = false;
    emit changed();
    if (m_hooks.onChanged)
        m_hooks.onChanged();
    load();
    downloadAndInstall();
}

void MarketDetailModel::onStage(const MarketInstallStage& stage)
{
    if (!m_flow || m_flow->pluginId() != m_plugin.pluginId) {
        emit changed();
        return;
    }
    if (stage.kind == MarketInstallStage::Kind::done) {
        refreshInstalled();
        toast(stage.message, MarketToast::Kind::ok);
    } else if (stage.kind == MarketInstallStage::Kind::failed) {
        toast(stage.message, MarketToast::Kind::error);
    }
    emit changed();
}
