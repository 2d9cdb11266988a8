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

class LoginState
{
public:
    LoginState(Options options, std::shared_ptr<StateFile> state)
        : m_options(options), m_state(std::move(state))
    {
        reset(false);
        load();
    }

    // Sessions and members from the state file, when there is one.
    void load()
    {
        std::lock_guard lock(mutex);
        const Json savedMembers = m_state->section("members");
        if (savedMembers.is_object()) {
            for (const auto& [key, member] : savedMembers.items()) {
                if (member.is_object())
                    members[key] = member;
            }
        }
        const Json savedSessions = m_state->section("sessions");
        if (savedSessions.is_object()) {
            for (const auto& [token, session] : savedSessions.items()) {
                const auto memberKey = stringField(session, "memberKey");
                if (memberKey && session.contains("expireAt") && session["expireAt"].is_number())
                    sessions[token] = {*memberKey, session["expireAt"].get<double>()};
            }
        }
    }

    // Call with the lock held.
    void save() const
    {
        Json saved = {{"members", Json::object()}, {"sessions", Json::object()}};
        for (const auto& [key, member] : members)
            saved["members"][key] = member;
        for (const auto& [token, session] : sessions)
            saved["sessions"][token] = {{"memberKey", session.memberKey}, {"expireAt", session.expireAt}};
        m_state->store(saved);
    }

    void reset(bool persist = true)
    {
        std::lock_guard lock(mutex);
        pending.clear();
        sessions.clear();
        members.clear();
        members[defaultMemberKey] = defaultMember();
        serial = 0;
        if (persist)
            save();
    }

    static Json defaultMember()
    {
        return {{"memberKey", defaultMemberKey}, {"openId", "o-standin-10001"},
                {"nickName", "织机用户"}};
    }

    std::string newKey(size_t length)
    {
        static const char hex[] = "0123456789abcdef";
        std::string key;
        for (size_t i = 0; i < length; ++i)
            key += hex[m_random() % 16];
        return key;
    }

    bool autoScanned(const PendingLogin& login) const
    {
        return m_options.autoScanAfterSeconds >= 0
            && nowSeconds() - login.createdAt >= m_options.autoScanAfterSeconds;
    }

    // The given login, or the newest one still pending.
    PendingLogin* find(const Json& body)
    {
        if (const auto loginKey = stringField(body, "loginKey")) {
            auto found = pending.find(*loginKey);
            return found == pending.end() ? nullptr : &found->second;
        }
        PendingLogin* newest = nullptr;
        for (auto& [key, login] : pending) {
            if (!login.expired && (!newest || login.serial > newest->serial))
                newest = &login;
        }
        return newest;
    }

    const Session* session(const Json& body)
    {
        const auto token = stringField(body, "token");
        if (!token)
            return nullptr;
        auto found = sessions.find(*token);
        if (found == sessions.end() || found->second.expireAt <= nowSeconds())
            return nullptr;
        return &found->second;
    }

    static constexpr const char* defaultMemberKey = "m10001";

    std::mutex mutex;
    std::map<std::string, PendingLogin> pending;
    std::map<std::string, Session> sessions;
    std::map<std::string, Json> members;
    long serial = 0;
    const Options m_options;

private:
    const std::shared_ptr<StateFile> m_state;
    std::mt19937_64 m_random{std::random_device{}()};
};

} // namespace

MemberOf addLoginRoutes(Server& server, std::shared_ptr<StateFile> stateFile)
{
    auto state = std::make_shared<LoginState>(server.options(), std::move(stateFile));
    server.onReset([state] { state->reset(); });

    server.route("POST", "/v2/verify", [state](const Request& request) {
        std::lock_guard lock(state->mutex);
        const Session* session = state->session(request.body);
        if (!session)
            return Reply::failure(2, "登录已失效，请重新登录");
        return Reply::ok({{"member", state->members[session->memberKey]},
                          {"expireAt", session->expireAt}});
    });

    server.route("POST", "/v2/getLoginQrcode", [state, server = &server](const Request& request) {
        const auto mspKey = stringField(request.body, "mspKey");
        if (!mspKey || mspKey->empty())
            return Reply::failure(2, "缺少应用标识");
        std::lock_guard lock(state->mutex);
        const std::string loginKey = state->newKey(24);
        PendingLogin login;
        login.createdAt = nowSeconds();
        login.serial = ++state->serial;
        state->pending[loginKey] = login;
        // Opening the code's address on this machine confirms the scan.
        const std::string png = qrPng(server->baseUrl() + "__scan?k=" + loginKey);
        return Reply::ok({{"loginKey", loginKey},
                          {"qrcode", "data:image/png;base64," + base64(png)}});
    });

    server.route("POST", "/v2/getLogin", [state](const Request& request) {
        const auto loginKey = stringField(request.body, "loginKey");
        if (!loginKey)
            return Reply::failure(3, "缺少登录标识");
        std::lock_guard lock(state->mutex);
        auto found = state->pending.find(*loginKey);
        if (found == state->pending.end())
            return Reply::failure(1, "二维码已失效");
        PendingLogin& login = found->second;
        if (login.expired || nowSeconds() - login.createdAt > qrLifetimeSeconds)
            return Reply::failure(1, "二维码已过期");
        if (!login.confirmed && !state->autoScanned(login))
            return Reply::failure(2, "等待扫码");

        const std::string memberKey =
            login.memberKey.empty() ? LoginState::defaultMemberKey : login.memberKey;
        const std::string token = state->newKey(40);
        const double expireAt = nowSeconds() + state->m_options.sessionSeconds;
        state->sessions[token] = {memberKey, expireAt};
        state->pending.erase(found); // one sign-in per code
        state->save();
        return Reply::ok({{"token", token}, {"expireAt", expireAt},
                          {"member", state->members[memberKey]}});
    });

    server.route("POST", "/v2/profile/nickname", [state](const Request& request) {
        std::lock_guard lock(state->mutex);
        const Session* session = state->session(request.body);
        if (!session)
            return Reply::failure(2, "登录已失效，请重新登录");
        const auto nickname = stringField(request.body, "nickname");
        if (!nickname)
            return Reply::failure(3, "缺少昵称");
        // An empty name restores the default one.
        Json& member = state->members[session->memberKey];
        member["nickName"] = nickname->empty() ? LoginState::defaultMember()["nickName"] : Json(*nickname);
        state->save();
        return Reply::ok({{"member", member}});
    });

    // The page the QR code points at: opening it confirms that code's scan.
    server.route("GET", "/__scan", [state](const Request& request) {
        std::lock_guard lock(state->mutex);
        const auto key = request.query.find("k");
        auto found = key == request.query.end() ? state->pending.end() : state->pending.find(key->second);
        Reply reply;
        reply.contentType = "text/html; charset=utf-8";
        if (found == state->pending.end() || found->second.expired) {
            reply.httpStatus = 404;
            reply.raw = "<!doctype html><meta charset=utf-8><p>二维码已失效</p>";
            return reply;
        }
        found->second.confirmed = true;
        reply.raw = "<!doctype html><meta charset=utf-8><p>已确认登录，请回到 Loomwork</p>";
        return reply;
    });

    // Confirms a scan: {"loginKey"?: the newest pending code by default, "member"?: the
    // member who scanned (memberKey required)}.
    server.route("POST", "/__test/scan", [state](const Request& request) {
        std::lock_guard lock(state->mutex);
        PendingLogin* login = state->find(request.body);
        if (!login)
            return Reply::failure(4, "no pending login");
        login->confirmed = true;
        const Json& body = request.body;
        if (body.is_object() && body.contains("member")) {
            if (const auto memberKey = stringField(body["member"], "memberKey")) {
                login->memberKey = *memberKey;
                state->members[login->memberKey] = body["member"];
            }
        }
        return Reply::ok({});
    });

    // Expires a QR code: {"loginKey"?: the newest pending code by default}.
    server.route("POST", "/__test/expire", [state](const Request& request) {
        std::lock_guard lock(state->mutex);
        PendingLogin* login = state->find(request.body);
        if (!login)
            return Reply::failure(4, "no pending login");
        login->expired = true;
        return Reply::ok({});
    });

    // Pending codes and live sessions, for tests that need to know them.
    server.route("GET", "/__test/state", [state](const Request&) {
        std::lock_guard lock(state->mutex);
        Json pending = Json::array();
        for (const auto& [key, login] : state->pending)
            pending.push_back({{"loginKey", key}, {"confirmed", login.confirmed},
                               {"expired", login.expired}, {"serial", login.serial}});
        Json sessions = Json::array();
        for (const auto& [token, session] : state->sessions)
            sessions.push_back({{"token", token}, {"memberKey", session.memberKey},
                                {"expireAt", session.expireAt}});
        return Reply::ok({{"pending", pending}, {"sessions", sessions}});
    });

    return [state](const std::string& token) {
        std::lock_guard lock(state->mutex);
        const Session* session = state->session(Json{{"token", token}});
        return session ? session->memberKey : std::string();
    };
}

} // namespace standin
