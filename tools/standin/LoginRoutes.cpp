#include "LoginRoutes.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "QrPng.h"
#include "StandinServer.h"
#include "StateFile.h"

namespace standin {

namespace {

using Clock = std::chrono::system_clock;

// A QR code lives this long unless a test expires it sooner.
constexpr double qrLifetimeSeconds = 300;

double nowSeconds()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct PendingLogin
{
    double createdAt = 0;
    bool confirmed = false;
    bool expired = false;
    std::string memberKey;
    long serial = 0;
};

struct Session
{
    std::string memberKey;
    double expireAt = 0;
};

// Pending QR logins, sessions and members. Every route is one of its methods; the state
// stays behind its lock, taken by the method that needs it.
class LoginState
{
public:
    LoginState(const Server& server, std::shared_ptr<StateFile> state)
        : m_server(server), m_options(server.options()), m_state(std::move(state))
    {
        reset(false);
        load();
    }

    void reset(bool persist = true);
    // The member key of a live session's token; empty for any other token.
    std::string memberOf(const std::string& token);

    Reply verify(const Request& request);
    Reply loginQrcode(const Request& request);
    Reply pollLogin(const Request& request);
    Reply setNickname(const Request& request);
    // The page the QR code points at: opening it confirms that code's scan.
    Reply scanPage(const Request& request);

    // Test controls.
    // Confirms a scan: {"loginKey"?: the newest pending code by default, "member"?: the
    // member who scanned (memberKey required)}.
    Reply confirmScan(const Request& request);
    // Expires a QR code: {"loginKey"?: the newest pending code by default}.
    Reply expire(const Request& request);
    // Pending codes and live sessions, for tests that need to know them.
    Reply report(const Request& request);

private:
    static constexpr const char* defaultMemberKey = "m10001";
    static Json defaultMember();

    // Sessions and members from the state file, when there is one.
    void load();

    // The rest need `m_mutex` held.
    void save() const;
    std::string newKey(size_t length);
    bool autoScanned(const PendingLogin& login) const;
    // The given login, or the newest one still pending.
    PendingLogin* find(const Json& body);
    const Session* session(const Json& body);

    const Server& m_server;
    const Options m_options;
    const std::shared_ptr<StateFile> m_state;
    std::mt19937_64 m_random{std::random_device{}()};

    std::mutex m_mutex;
    std::map<std::string, PendingLogin> m_pending;
    std::map<std::string, Session> m_sessions;
    std::map<std::string, Json> m_members;
    long m_serial = 0;
};

void LoginState::load()
{
    std::lock_guard lock(m_mutex);
    const Json savedMembers = m_state->section("members");
    if (savedMembers.is_object()) {
        for (const auto& [key, member] : savedMembers.items()) {
            if (member.is_object())
                m_members[key] = member;
        }
    }
    const Json savedSessions = m_state->section("sessions");
    if (savedSessions.is_object()) {
        for (const auto& [token, session] : savedSessions.items()) {
            const auto memberKey = stringField(session, "memberKey");
            if (memberKey && session.contains("expireAt") && session["expireAt"].is_number())
                m_sessions[token] = {*memberKey, session["expireAt"].get<double>()};
        }
    }
}

void LoginState::save() const
{
    Json saved = {{"members", Json::object()}, {"sessions", Json::object()}};
    for (const auto& [key, member] : m_members)
        saved["members"][key] = member;
    for (const auto& [token, session] : m_sessions)
        saved["sessions"][token] = {{"memberKey", session.memberKey}, {"expireAt", session.expireAt}};
    m_state->store(saved);
}

void LoginState::reset(bool persist)
{
    std::lock_guard lock(m_mutex);
    m_pending.clear();
    m_sessions.clear();
    m_members.clear();
    m_members[defaultMemberKey] = defaultMember();
    m_serial = 0;
    if (persist)
        save();
}

Json LoginState::defaultMember()
{
    return {{"memberKey", defaultMemberKey}, {"openId", "o-standin-10001"},
            {"nickName", "织机用户"}};
}

std::string LoginState::newKey(size_t length)
{
    static const char hex[] = "0123456789abcdef";
    std::string key;
    for (size_t i = 0; i < length; ++i)
        key += hex[m_random() % 16];
    return key;
}

bool LoginState::autoScanned(const PendingLogin& login) const
{
    return m_options.autoScanAfterSeconds >= 0
        && nowSeconds() - login.createdAt >= m_options.autoScanAfterSeconds;
}

PendingLogin* LoginState::find(const Json& body)
{
    if (const auto loginKey = stringField(body, "loginKey")) {
        auto found = m_pending.find(*loginKey);
        return found == m_pending.end() ? nullptr : &found->second;
    }
    PendingLogin* newest = nullptr;
    for (auto& [key, login] : m_pending) {
        if (!login.expired && (!newest || login.serial > newest->serial))
            newest = &login;
    }
    return newest;
}

const Session* LoginState::session(const Json& body)
{
    const auto token = stringField(body, "token");
    if (!token)
        return nullptr;
    auto found = m_sessions.find(*token);
    if (found == m_sessions.end() || found->second.expireAt <= nowSeconds())
        return nullptr;
    return &found->second;
}

std::string LoginState::memberOf(const std::string& token)
{
    std::lock_guard lock(m_mutex);
    const Session* found = session(Json{{"token", token}});
    return found ? found->memberKey : std::string();
}

Reply LoginState::verify(const Request& request)
{
    std::lock_guard lock(m_mutex);
    const Session* found = session(request.body);
    if (!found)
        return Reply::failure(2, "登录已失效，请重新登录");
    return Reply::ok({{"member", m_members[found->memberKey]},
                      {"expireAt", found->expireAt}});
}

Reply LoginState::loginQrcode(const Request& request)
{
    const auto mspKey = stringField(request.body, "mspKey");
    if (!mspKey || mspKey->empty())
        return Reply::failure(2, "缺少应用标识");
    std::lock_guard lock(m_mutex);
    const std::string loginKey = newKey(24);
    PendingLogin login;
    login.createdAt = nowSeconds();
    login.serial = ++m_serial;
    m_pending[loginKey] = login;
    // Opening the code's address on this machine confirms the scan.
    const std::string png = qrPng(m_server.baseUrl() + "__scan?k=" + loginKey);
    return Reply::ok({{"loginKey", loginKey},
                      {"qrcode", "data:image/png;base64," + base64(png)}});
}

Reply LoginState::pollLogin(const Request& request)
{
    const auto loginKey = stringField(request.body, "loginKey");
    if (!loginKey)
        return Reply::failure(3, "缺少登录标识");
    std::lock_guard lock(m_mutex);
    auto found = m_pending.find(*loginKey);
    if (found == m_pending.end())
        return Reply::failure(1, "二维码已失效");
    PendingLogin& login = found->second;
    if (login.expired || nowSeconds() - login.createdAt > qrLifetimeSeconds)
        return Reply::failure(1, "二维码已过期");
    if (!login.confirmed && !autoScanned(login))
        return Reply::failure(2, "等待扫码");

    const std::string memberKey = login.memberKey.empty() ? defaultMemberKey : login.memberKey;
    const std::string token = newKey(40);
    const double expireAt = nowSeconds() + m_options.sessionSeconds;
    m_sessions[token] = {memberKey, expireAt};
    m_pending.erase(found); // one sign-in per code
    save();
    return Reply::ok({{"token", token}, {"expireAt", expireAt},
                      {"member", m_members[memberKey]}});
}

Reply LoginState::setNickname(const Request& request)
{
    std::lock_guard lock(m_mutex);
    const Session* found = session(request.body);
    if (!found)
        return Reply::failure(2, "登录已失效，请重新登录");
    const auto nickname = stringField(request.body, "nickname");
    if (!nickname)
        return Reply::failure(3, "缺少昵称");
    // An empty name restores the default one.
    Json& member = m_members[found->memberKey];
    member["nickName"] = nickname->empty() ? defaultMember()["nickName"] : Json(*nickname);
    save();
    return Reply::ok({{"member", member}});
}

Reply LoginState::scanPage(const Request& request)
{
    std::lock_guard lock(m_mutex);
    const auto key = request.query.find("k");
    auto found = key == request.query.end() ? m_pending.end() : m_pending.find(key->second);
    Reply reply;
    reply.contentType = "text/html; charset=utf-8";
    if (found == m_pending.end() || found->second.expired) {
        reply.httpStatus = 404;
        reply.raw = "<!doctype html><meta charset=utf-8><p>二维码已失效</p>";
        return reply;
    }
    found->second.confirmed = true;
    reply.raw = "<!doctype html><meta charset=utf-8><p>已确认登录，请回到 Loomwork</p>";
    return reply;
}

Reply LoginState::confirmScan(const Request& request)
{
    std::lock_guard lock(m_mutex);
    PendingLogin* login = find(request.body);
    if (!login)
        return Reply::failure(4, "no pending login");
    login->confirmed = true;
    const Json& body = request.body;
    if (body.is_object() && body.contains("member")) {
        if (const auto memberKey = stringField(body["member"], "memberKey")) {
            login->memberKey = *memberKey;
            m_members[login->memberKey] = body["member"];
        }
    }
    return Reply::ok({});
}

Reply LoginState::expire(const Request& request)
{
    std::lock_guard lock(m_mutex);
    PendingLogin* login = find(request.body);
    if (!login)
        return Reply::failure(4, "no pending login");
    login->expired = true;
    return Reply::ok({});
}

Reply LoginState::report(const Request&)
{
    std::lock_guard lock(m_mutex);
    Json pending = Json::array();
    for (const auto& [key, login] : m_pending)
        pending.push_back({{"loginKey", key}, {"confirmed", login.confirmed},
                           {"expired", login.expired}, {"serial", login.serial}});
    Json sessions = Json::array();
    for (const auto& [token, session] : m_sessions)
        sessions.push_back({{"token", token}, {"memberKey", session.memberKey},
                            {"expireAt", session.expireAt}});
    return Reply::ok({{"pending", pending}, {"sessions", sessions}});
}

} // namespace

MemberOf addLoginRoutes(Server& server, std::shared_ptr<StateFile> stateFile)
{
    auto state = std::make_shared<LoginState>(server, std::move(stateFile));
    server.onReset([state] { state->reset(); });

    const struct
    {
        const char* method;
        const char* path;
        Reply (LoginState::*handle)(const Request&);
    } routes[] = {
        {"POST", "/v2/verify", &LoginState::verify},
        {"POST", "/v2/getLoginQrcode", &LoginState::loginQrcode},
        {"POST", "/v2/getLogin", &LoginState::pollLogin},
        {"POST", "/v2/profile/nickname", &LoginState::setNickname},
        {"GET", "/__scan", &LoginState::scanPage},
        {"POST", "/__test/scan", &LoginState::confirmScan},
        {"POST", "/__test/expire", &LoginState::expire},
        {"GET", "/__test/state", &LoginState::report},
    };
    for (const auto& route : routes) {
        server.route(route.method, route.path, [state, handle = route.handle](const Request& request) {
            return (state.get()->*handle)(request);
        });
    }
    return [state](const std::string& token) { return state->memberOf(token); };
}

} // namespace standin
