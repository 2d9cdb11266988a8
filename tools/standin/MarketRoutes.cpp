#include "MarketRoutes.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "MarketCatalog.h"
#include "MarketMedia.h"
#include "MarketPackages.h"
#include "StandinServer.h"
#include "StateFile.h"

namespace standin {

namespace {

using Clock = std::chrono::system_clock;

int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

struct Order
{
    std::string orderNo;
    std::string member;
    std::string pluginId;
    std::string channel;
    int64_t amount = 0;
    std::optional<int64_t> originalAmount;
    int64_t createdAt = 0;
    int64_t payTime = 0;
    int64_t expireSeconds = 900;
    enum class State { pending, paid, closed, expired } state = State::pending;
};

const char* const orderStates[] = {"pending", "paid", "closed", "expired"};

struct Member
{
    std::map<std::string, int64_t> favorites; // pluginId -> favoritedAt
    std::set<std::string> owned;
    std::vector<std::string> orders;          // orderNo, oldest first
};

int64_t integerField(const Json& body, const char* key, int64_t fallback)
{
    if (body.is_object() && body.contains(key) && body[key].is_number_integer())
        return body[key].get<int64_t>();
    return fallback;
}

// The shop: its catalogue and packages, each member's favourites, orders and owned
// plug-ins, the download tickets and the switches tests flip. Every route is one of its
// methods; the state stays behind its lock, taken by the method that needs it.
class Market
{
public:
    Market(const Server& server, std::shared_ptr<StateFile> state, MemberOf memberOf);

    void abandonPacking() { m_packages->abandon(); }
    void reset();

    Reply list(const Request& request);
    Reply featured(const Request& request);
    Reply detail(const Request& request);
    Reply favorites(const Request& request);
    Reply favorite(const Request& request);
    Reply orders(const Request& request);
    Reply buy(const Request& request);
    Reply status(const Request& request);
    Reply download(const Request& request);
    Reply file(const Request& request);
    Reply media(const Request& request);
    Reply blob(const Request& request);
    Reply payChannels(const Request& request);

    // Test controls.
    Reply pay(const Request& request) { return settleControl(request, Order::State::paid); }
    Reply close(const Request& request) { return settleControl(request, Order::State::closed); }
    Reply expire(const Request& request) { return settleControl(request, Order::State::expired); }
    Reply setSwitches(const Request& request);
    Reply allOrders(const Request& request);

private:
    // Whose favourites and purchases a request reaches: the signed-in member's, so that they
    // outlive the session; a token that is no session keeps its own.
    std::string whose(const Request& request) const;
    // The catalogue with the packages' real sizes; waits for the packer once.
    const std::vector<CatalogItem>& items();
    const CatalogItem* find(const std::string& id);
    std::shared_ptr<BodySource> package(const std::string& id);
    static int64_t effectivePrice(const CatalogItem& item);

    // The rest need `m_mutex` held.
    Json recordFor(const CatalogItem& item, const std::string& who);
    void settle(Order& order);
    // The order named in `body`, else the newest still waiting to be paid.
    Order* orderFor(const Json& body);
    Reply settleControl(const Request& request, Order::State state);
    // A new order of `item` for `who`; a free one is paid at once.
    Order& placeOrder(const std::string& who, const CatalogItem& item, const std::string& channel);
    void save() const;

    // What save() wrote; anything malformed is skipped.
    void load();

    const Server& m_server;
    std::vector<CatalogItem> m_items;
    std::once_flag m_sized;
    std::unique_ptr<MarketPackages> m_packages;
    const std::shared_ptr<StateFile> m_state;
    const MemberOf m_memberOf;

    std::mutex m_mutex;
    std::map<std::string, Member> m_members; // by whose()
    std::map<std::string, Order> m_orders;
    std::map<std::string, std::string> m_tickets; // ticket -> pluginId
    bool m_enabled = true;
    bool m_payEnabled = true;
    long m_serial = 0;
};

Market::Market(const Server& server, std::shared_ptr<StateFile> state, MemberOf memberOf)
    : m_server(server)
    , m_items(catalogItems())
    , m_packages(std::make_unique<MarketPackages>(m_items, server.options().catalogDir))
    , m_state(std::move(state))
    , m_memberOf(std::move(memberOf))
{
    load();
}

void Market::reset()
{
    std::lock_guard lock(m_mutex);
    m_members.clear();
    m_orders.clear();
    m_tickets.clear();
    m_enabled = true;
    m_payEnabled = true;
    m_serial = 0;
    save();
}

std::string Market::whose(const Request& request) const
{
    const std::string token = stringField(request.body, "token").value_or("");
    const std::string member = m_memberOf(token);
    return member.empty() ? "token:" + token : member;
}

const std::vector<CatalogItem>& Market::items()
{
    std::call_once(m_sized, [this] {
        const auto& built = m_packages->built();
        for (CatalogItem extra : built.extra)
            m_items.push_back(extra);
        for (CatalogItem& item : m_items) {
            if (const auto found = built.packages.find(item.record["pluginId"]); found != built.packages.end())
                item.record["fileSize"] = found->second->size();
        }
    });
    return m_items;
}

const CatalogItem* Market::find(const std::string& id)
{
    for (const CatalogItem& item : items()) {
        if (item.record["pluginId"] == id)
            return &item;
    }
    return nullptr;
}

std::shared_ptr<BodySource> Market::package(const std::string& id)
{
    const auto& built = m_packages->built();
    const auto found = built.packages.find(id);
    return found == built.packages.end() ? nullptr : found->second;
}

int64_t Market::effectivePrice(const CatalogItem& item)
{
    const Json& r = item.record;
    if (r.contains("finalPrice"))
        return r["finalPrice"].get<int64_t>();
    return r.value("price", int64_t(0));
}

Json Market::recordFor(const CatalogItem& item, const std::string& who)
{
    Json record = item.record;
    const Member& member = m_members[who];
    const std::string id = item.record["pluginId"];
    const auto favorite = member.favorites.find(id);
    record["favorited"] = favorite != member.favorites.end();
    if (favorite != member.favorites.end())
        record["favoritedAt"] = favorite->second;
    record["owned"] = member.owned.count(id) > 0;
    return record;
}

void Market::settle(Order& order)
{
    if (order.state == Order::State::pending && nowSeconds() >= order.createdAt + order.expireSeconds)
        order.state = Order::State::expired;
}

Order* Market::orderFor(const Json& body)
{
    if (const auto no = stringField(body, "orderNo")) {
        const auto found = m_orders.find(*no);
        return found == m_orders.end() ? nullptr : &found->second;
    }
    Order* newest = nullptr;
    for (auto& [no, order] : m_orders) {
        settle(order);
        if (order.state != Order::State::pending)
            continue;
        if (!newest || order.createdAt > newest->createdAt
            || (order.createdAt == newest->createdAt && order.orderNo > newest->orderNo))
            newest = &order;
    }
    return newest;
}

void Market::save() const
{
    Json saved = {{"members", Json::object()}, {"orders", Json::object()}, {"serial", m_serial}};
    for (const auto& [key, member] : m_members) {
        saved["members"][key] = {{"favorites", member.favorites}, {"owned", member.owned},
                                 {"orders", member.orders}};
    }
    for (const auto& [no, order] : m_orders) {
        Json& o = saved["orders"][no];
        o = {{"member", order.member}, {"pluginId", order.pluginId}, {"channel", order.channel},
             {"amount", order.amount}, {"createdAt", order.createdAt}, {"payTime", order.payTime},
             {"expireSeconds", order.expireSeconds}, {"state", orderStates[int(order.state)]}};
        if (order.originalAmount)
            o["originalAmount"] = *order.originalAmount;
    }
    m_state->store({{"market", saved}});
}

void Market::load()
{
    const Json saved = m_state->section("market");
    if (!saved.is_object())
        return;
    try {
        const Json savedMembers = saved.value("members", Json::object());
        const Json savedOrders = saved.value("orders", Json::object());
        for (const auto& [key, m] : savedMembers.items()) {
            Member& member = m_members[key];
            member.favorites = m.value("favorites", std::map<std::string, int64_t>());
            member.owned = m.value("owned", std::set<std::string>());
            member.orders = m.value("orders", std::vector<std::string>());
        }
        for (const auto& [no, o] : savedOrders.items()) {
            Order& order = m_orders[no];
            order.orderNo = no;
            order.member = o.value("member", "");
            order.pluginId = o.value("pluginId", "");
            order.channel = o.value("channel", "");
            order.amount = o.value("amount", int64_t(0));
            if (o.contains("originalAmount"))
                order.originalAmount = o["originalAmount"].get<int64_t>();
            order.createdAt = o.value("createdAt", int64_t(0));
            order.payTime = o.value("payTime", int64_t(0));
            order.expireSeconds = o.value("expireSeconds", int64_t(900));
            const std::string state = o.value("state", "");
            for (int i = 0; i < 4; ++i) {
                if (state == orderStates[i])
                    order.state = Order::State(i);
            }
        }
        m_serial = saved.value("serial", 0L);
    } catch (const Json::exception& e) {
        std::fprintf(stderr, "loomwork-standin: the saved market is unreadable: %s\n", e.what());
    }
}

Reply Market::list(const Request& request)
{
    const std::string who = whose(request);
    const Json& b = request.body;
    const std::string keyword = lower(stringField(b, "keyword").value_or(""));
    const std::string category = stringField(b, "category").value_or("");
    const std::string sort = stringField(b, "sort").value_or("new");
    const int64_t page = std::max<int64_t>(1, integerField(b, "page", 1));
    const int64_t pageSize = std::clamp<int64_t>(integerField(b, "pageSize", 20), 1, 100);
    std::vector<const CatalogItem*> matches;
    Json categories = Json::array();
    for (const CatalogItem& item : items()) {
        const std::string itemCategory = item.record.value("category", "");
        if (std::find(categories.begin(), categories.end(), itemCategory) == categories.end())
            categories.push_back(itemCategory);
        const std::string text = lower(item.record.value("name", "") + " " + item.record.value("subtitle", "")
                                       + " " + item.record.value("vendor", ""));
        if (!keyword.empty() && text.find(keyword) == std::string::npos)
            continue;
        if (!category.empty() && itemCategory != category)
            continue;
        matches.push_back(&item);
    }
    const auto by = [&](const char* key) {
        std::stable_sort(matches.begin(), matches.end(), [key](const CatalogItem* a, const CatalogItem* b) {
            return a->record.value(key, int64_t(0)) > b->record.value(key, int64_t(0));
        });
    };
    if (sort == "hots")
        by("downloadCount");
    else if (sort == "views")
        by("viewCount");
    else
        std::stable_sort(matches.begin(), matches.end(), [](auto* a, auto* b) { return a->order > b->order; });

    std::lock_guard lock(m_mutex);
    if (!m_enabled)
        return Reply::ok({{"plugins", Json::array()}, {"categories", Json::array()}, {"total", 0}, {"enabled", false}});
    Json plugins = Json::array();
    const int64_t start = (page - 1) * pageSize;
    for (int64_t i = start; i < int64_t(matches.size()) && i < start + pageSize; ++i)
        plugins.push_back(recordFor(*matches[size_t(i)], who));
    return Reply::ok({{"plugins", plugins}, {"categories", categories}, {"total", matches.size()}, {"enabled", true}});
}

Reply Market::featured(const Request& request)
{
    const std::string who = whose(request);
    const int64_t limit = std::clamp<int64_t>(integerField(request.body, "limit", 8), 0, 50);
    const auto& catalogue = items();
    std::lock_guard lock(m_mutex);
    Json plugins = Json::array();
    for (const CatalogItem& item : catalogue) {
        if (int64_t(plugins.size()) < limit && item.record.value("featured", false))
            plugins.push_back(recordFor(item, who));
    }
    return Reply::ok({{"plugins", plugins}});
}

Reply Market::detail(const Request& request)
{
    const std::string who = whose(request);
    const CatalogItem* item = find(stringField(request.body, "pluginId").value_or(""));
    if (!item)
        return Reply::failure(1, "插件不存在");
    std::lock_guard lock(m_mutex);
    return Reply::ok({{"plugin", recordFor(*item, who)}});
}

Reply Market::favorites(const Request& request)
{
    const std::string who = whose(request);
    const int64_t limit = std::clamp<int64_t>(integerField(request.body, "limit", 200), 0, 500);
    const auto& catalogue = items();
    std::lock_guard lock(m_mutex);
    const Member& member = m_members[who];
    std::vector<std::pair<int64_t, std::string>> newestFirst;
    for (const auto& [id, at] : member.favorites)
        newestFirst.emplace_back(at, id);
    std::sort(newestFirst.rbegin(), newestFirst.rend());
    Json plugins = Json::array();
    for (const auto& [at, id] : newestFirst) {
        if (int64_t(plugins.size()) >= limit)
            break;
        for (const CatalogItem& item : catalogue) {
            if (item.record["pluginId"] == id)
                plugins.push_back(recordFor(item, who));
        }
    }
    return Reply::ok({{"plugins", plugins}});
}

Reply Market::favorite(const Request& request)
{
    const std::string who = whose(request);
    const std::string id = stringField(request.body, "pluginId").value_or("");
    if (!find(id))
        return Reply::failure(1, "插件不存在");
    const bool favorite = request.body.value("favorite", false);
    std::lock_guard lock(m_mutex);
    Member& member = m_members[who];
    if (favorite) {
        // Distinct stamps keep the newest-first order stable within one second.
        member.favorites[id] = nowSeconds() * 1000 + (++m_serial % 1000);
    } else {
        member.favorites.erase(id);
    }
    save();
    return Reply::ok({{"favorited", favorite}});
}

Reply Market::orders(const Request& request)
{
    const std::string who = whose(request);
    const int64_t limit = std::clamp<int64_t>(integerField(request.body, "limit", 100), 0, 500);
    items();
    std::lock_guard lock(m_mutex);
    const Member& member = m_members[who];
    Json list = Json::array();
    for (auto it = member.orders.rbegin(); it != member.orders.rend() && int64_t(list.size()) < limit; ++it) {
        Order& order = m_orders[*it];
        settle(order);
        if (order.state != Order::State::paid)
            continue;
        const CatalogItem* item = find(order.pluginId);
        Json row = {{"orderNo", order.orderNo}, {"pluginId", order.pluginId},
                    {"pluginName", item ? item->record["name"] : Json("插件")},
                    {"amount", order.amount}, {"payTime", order.payTime},
                    {"available", item && item->delivery != Delivery::missing}};
        if (order.originalAmount)
            row["originalAmount"] = *order.originalAmount;
        if (item) {
            for (const char* key : {"coverUrl", "version", "category", "fileSize"}) {
                if (item->record.contains(key))
                    row[key] = item->record[key];
            }
        }
        list.push_back(row);
    }
    return Reply::ok({{"orders", list}});
}

Order& Market::placeOrder(const std::string& who, const CatalogItem& item, const std::string& channel)
{
    const int64_t price = effectivePrice(item);
    Order order;
    order.orderNo = "LW" + std::to_string(nowSeconds()) + std::to_string(1000 + ++m_serial);
    order.member = who;
    order.pluginId = item.record["pluginId"].get<std::string>();
    order.channel = channel;
    order.amount = std::max<int64_t>(price, 0);
    if (item.record.contains("price") && item.record["price"].get<int64_t>() > price)
        order.originalAmount = item.record["price"].get<int64_t>();
    order.createdAt = nowSeconds();
    Member& member = m_members[who];
    member.orders.push_back(order.orderNo);
    if (price <= 0) {
        // A free claim is a paid order of nothing, so that it is listed with the purchases.
        order.state = Order::State::paid;
        order.payTime = order.createdAt;
        member.owned.insert(order.pluginId);
    }
    Order& placed = m_orders[order.orderNo] = order;
    save();
    return placed;
}

Reply Market::buy(const Request& request)
{
    const std::string who = whose(request);
    const std::string id = stringField(request.body, "pluginId").value_or("");
    const std::string channel = stringField(request.body, "channel").value_or("wechat");
    const CatalogItem* item = find(id);
    std::lock_guard lock(m_mutex);
    if (!m_enabled)
        return Reply::failure(2, "插件市场维护中");
    if (!item)
        return Reply::failure(1, "插件不存在");
    if (m_members[who].owned.count(id))
        return Reply::failure(4, "已拥有该插件");
    if (effectivePrice(*item) > 0 && !m_payEnabled)
        return Reply::failure(2, "在线支付暂未开通");
    const Order& order = placeOrder(who, *item, channel);
    if (order.state == Order::State::paid)
        return Reply::ok({{"free", true}});
    const std::string qr = channel == "alipay" ? "https://qr.alipay.example/" + order.orderNo
                                               : "weixin://wxpay/bizpayurl?pr=" + order.orderNo;
    Json reply = {{"orderNo", order.orderNo}, {"qrPayload", qr}, {"amount", order.amount},
                  {"channel", channel}, {"expireSeconds", order.expireSeconds}, {"mock", true},
                  {"plugin", {{"pluginId", id}, {"name", item->record["name"]}}}};
    if (order.originalAmount)
        reply["originalAmount"] = *order.originalAmount;
    return Reply::ok(reply);
}

Reply Market::status(const Request& request)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_orders.find(stringField(request.body, "orderNo").value_or(""));
    if (found == m_orders.end())
        return Reply::failure(3, "订单不存在");
    Order& order = found->second;
    settle(order);
    switch (order.state) {
    case Order::State::paid:
        return Reply::ok({});
    case Order::State::closed:
        return Reply::failure(1, "订单已关闭");
    case Order::State::expired:
        return Reply::failure(1, "订单已过期，请重新下单");
    case Order::State::pending:
        break;
    }
    Reply pending = Reply::failure(2, "等待支付");
    pending.json["secondsLeft"] = std::max<int64_t>(0, order.createdAt + order.expireSeconds - nowSeconds());
    return pending;
}

Reply Market::download(const Request& request)
{
    const std::string who = whose(request);
    const std::string id = stringField(request.body, "pluginId").value_or("");
    const CatalogItem* item = find(id);
    if (!item)
        return Reply::failure(1, "插件不存在");
    if (!stringField(request.body, "deviceId"))
        return Reply::failure(1, "缺少设备标识");
    std::lock_guard lock(m_mutex);
    Member& member = m_members[who];
    if (effectivePrice(*item) > 0 && !member.owned.count(id))
        return Reply::failure(2, "请先购买");
    if (member.owned.insert(id).second)
        save();
    const std::string ticket = id + "-" + std::to_string(++m_serial) + "-" + std::to_string(std::random_device{}());
    m_tickets[ticket] = id;
    Json reply = {{"url", m_server.baseUrl() + "market/file/" + ticket}, {"fileName", item->fileName},
                  {"fileSize", item->record.value("fileSize", int64_t(0))}};
    if (item->risky)
        reply["risk"] = {{"level", "warn"}, {"reasons", {"作者未实名", "包内含脚本文件"}},
                         {"tip", "该插件来源待核实，请确认后再安装"}};
    return Reply::ok(reply);
}

Reply Market::file(const Request& request)
{
    std::string id;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_tickets.find(request.path.substr(std::string("/market/file/").size()));
        if (found == m_tickets.end())
            return notFound();
        id = found->second;
    }
    const CatalogItem* item = find(id);
    Reply reply;
    reply.contentType = "application/octet-stream";
    switch (item->delivery) {
    case Delivery::missing:
        return notFound();
    case Delivery::empty:
        reply.raw = "";
        return reply;
    case Delivery::zip:
        reply.stream = stringSource(std::string("PK\x05\x06", 4) + std::string(18, '\0'));
        reply.contentType = "application/zip";
        break;
    case Delivery::unsized:
        reply.chunked = true;
        [[fallthrough]];
    case Delivery::package:
    case Delivery::upperCase:
        reply.stream = package(id);
        if (!reply.stream)
            return notFound();
        break;
    }
    reply.headers.emplace_back("Content-Disposition", contentDisposition(item->fileName));
    reply.slowMs = item->paceMs;
    return reply;
}

Reply Market::media(const Request& request)
{
    return marketMedia(request);
}

Reply Market::blob(const Request& request)
{
    return marketBlob(request);
}

Reply Market::payChannels(const Request&)
{
    return Reply::ok({{"channels", Json::array({
        {{"key", "wechat"}, {"name", "微信支付"}, {"symbol", "message.fill"}, {"mock", true}},
        {{"key", "alipay"}, {"name", "支付宝"}, {"symbol", "a.circle.fill"}, {"mock", true}},
        {{"key", "card"}, {"name", "银行卡"}, {"symbol", "creditcard"}, {"disabled", true}},
    })}});
}

Reply Market::settleControl(const Request& request, Order::State state)
{
    std::lock_guard lock(m_mutex);
    Order* order = orderFor(request.body);
    if (!order)
        return Reply::failure(3, "订单不存在");
    order->state = state;
    if (state == Order::State::paid) {
        order->payTime = nowSeconds();
        m_members[order->member].owned.insert(order->pluginId);
    }
    save();
    return Reply::ok({{"orderNo", order->orderNo}});
}

Reply Market::setSwitches(const Request& request)
{
    std::lock_guard lock(m_mutex);
    if (request.body.contains("enabled") && request.body["enabled"].is_boolean())
        m_enabled = request.body["enabled"].get<bool>();
    if (request.body.contains("payEnabled") && request.body["payEnabled"].is_boolean())
        m_payEnabled = request.body["payEnabled"].get<bool>();
    return Reply::ok({{"enabled", m_enabled}, {"payEnabled", m_payEnabled}});
}

Reply Market::allOrders(const Request&)
{
    std::lock_guard lock(m_mutex);
    Json list = Json::array();
    for (auto& [no, order] : m_orders) {
        settle(order);
        list.push_back({{"orderNo", no}, {"pluginId", order.pluginId}, {"amount", order.amount},
                        {"state", orderStates[int(order.state)]}});
    }
    return Reply::ok({{"orders", list}});
}

} // namespace

void addMarketRoutes(Server& server, std::shared_ptr<StateFile> state, MemberOf memberOf)
{
    auto market = std::make_shared<Market>(server, std::move(state), std::move(memberOf));
    server.onReset([market] { market->reset(); });
    server.onShutdown([market] { market->abandonPacking(); });

    const struct
    {
        const char* method;
        const char* path;
        Reply (Market::*handle)(const Request&);
        bool prefix = false; // answers every path under `path`
    } routes[] = {
        {"POST", "/v2/market/list", &Market::list},
        {"POST", "/v2/market/featured", &Market::featured},
        {"POST", "/v2/market/detail", &Market::detail},
        {"POST", "/v2/market/favorites", &Market::favorites},
        {"POST", "/v2/market/favorite", &Market::favorite},
        {"POST", "/v2/market/orders", &Market::orders},
        {"POST", "/v2/market/buy", &Market::buy},
        {"POST", "/v2/market/status", &Market::status},
        {"POST", "/v2/market/download", &Market::download},
        {"GET", "/market/file/", &Market::file, true},
        {"GET", "/market/media/", &Market::media, true},
        {"GET", "/market/blob", &Market::blob},
        {"POST", "/v2/pay/channels", &Market::payChannels},
        {"POST", "/__test/market/pay", &Market::pay},
        {"POST", "/__test/market/close", &Market::close},
        {"POST", "/__test/market/expire", &Market::expire},
        {"POST", "/__test/market/state", &Market::setSwitches},
        {"POST", "/__test/market/orders", &Market::allOrders},
    };
    for (const auto& route : routes) {
        Server::Handler handler = [market, handle = route.handle](const Request& request) {
            return (market.get()->*handle)(request);
        };
        if (route.prefix)
            server.routePrefix(route.method, route.path, std::move(handler));
        else
            server.route(route.method, route.path, std::move(handler));
    }
}

} // namespace standin
