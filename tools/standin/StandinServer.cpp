#include "StandinServer.h"

#include <httplib.h>

#include "ConfigRoutes.h"
#include "DocumentRoutes.h"
#include "LoginRoutes.h"

namespace standin {

namespace {

constexpr const char* controlPrefix = "/__test/";

bool isControl(const std::string& path)
{
    return path.rfind(controlPrefix, 0) == 0;
}

Json parseBody(const std::string& raw)
{
    if (raw.empty())
        return nullptr;
    auto parsed = Json::parse(raw, nullptr, false);
    return parsed.is_discarded() ? Json(nullptr) : parsed;
}

} // namespace

std::optional<std::string> stringField(const Json& object, const char* key)
{
    if (!object.is_object())
        return std::nullopt;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return found->get<std::string>();
}

Reply Reply::ok(Json payload)
{
    Reply reply;
    reply.json = {{"status", 0}, {"info", "ok"}};
    if (payload.is_object())
        reply.json.update(payload);
    return reply;
}

Reply Reply::failure(int status, const std::string& info)
{
    Reply reply;
    reply.json = {{"status", status}, {"info", info}};
    return reply;
}

Server::Server(Options options)
    : m_options(options)
    , m_http(std::make_unique<httplib::Server>())
{
    addControls();
}

Server::~Server()
{
    stop();
}

void Server::route(const std::string& method, const std::string& path, Handler handler)
{
    m_routes[{method, path}] = std::move(handler);
}

void Server::fallback(const std::string& method, Handler handler)
{
    m_fallbacks[method] = std::move(handler);
}

void Server::onReset(std::function<void()> hook)
{
    m_resetHooks.push_back(std::move(hook));
}

std::string Server::baseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/";
}

bool Server::start()
{
    const auto handle = [this](const httplib::Request& http, httplib::Response& response) {
        Request request;
        request.method = http.method;
        request.path = http.path;
        request.rawBody = http.body;
        request.body = parseBody(http.body);
        for (const auto& [key, value] : http.params)
            request.query[key] = value;
        const Reply reply = dispatch(request);
        response.status = reply.httpStatus;
        for (const auto& [name, value] : reply.headers)
            response.set_header(name, value);
        if (reply.dropConnection) {
            // A provider that fails makes the server hang up after the headers.
            response.set_content_provider(
                1024, reply.contentType, [](size_t, size_t, httplib::DataSink&) { return false; });
            return;
        }
        response.set_content(reply.raw ? *reply.raw : reply.json.dump(), reply.contentType);
    };
    m_http->Get(".*", handle);
    m_http->Post(".*", handle);
    m_http->set_payload_max_length(16 * 1024 * 1024);
    m_http->set_keep_alive_timeout(1); // so that stop() returns soon

    if (m_options.port == 0) {
        m_port = m_http->bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            return false;
    } else {
        if (!m_http->bind_to_port("127.0.0.1", m_options.port))
            return false;
        m_port = m_options.port;
    }
    m_thread = std::thread([this] { m_http->listen_after_bind(); });
    return true;
}

void Server::stop()
{
    {
        std::lock_guard lock(m_stopMutex);
        m_stopping = true;
    }
    m_stopped.notify_all();
    if (m_http)
        m_http->stop();
    if (m_thread.joinable())
        m_thread.join();
}

void Server::wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Server::sleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock lock(m_stopMutex);
    m_stopped.wait_for(lock, duration, [this] { return m_stopping; });
}

Reply Server::dispatch(const Request& request)
{
    const auto found = m_routes.find({request.method, request.path});
    const Handler* handler = found == m_routes.end() ? nullptr : &found->second;
    if (isControl(request.path)) {
        if (!handler)
            return Reply::failure(404, "no such control");
        return (*handler)(request);
    }

    {
        std::lock_guard lock(m_mutex);
        const auto elapsed = std::chrono::steady_clock::now() - m_started;
        Json entry = {{"method", request.method}, {"path", request.path},
                      {"atMs", std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()}};
        entry["body"] = request.body.is_null() ? Json(request.rawBody) : request.body;
        m_log.push_back(std::move(entry));
    }

    if (!handler) {
        const auto fallback = m_fallbacks.find(request.method);
        if (fallback != m_fallbacks.end())
            handler = &fallback->second;
    }
    if (auto script = takeScript(request.path))
        return applyScript(*script, request, handler);
    if (!handler) {
        Reply reply = Reply::failure(404, "not found");
        reply.httpStatus = 404;
        return reply;
    }
    return (*handler)(request);
}

std::optional<Server::Script> Server::takeScript(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    auto found = m_scripts.find(path);
    if (found == m_scripts.end() || found->second.empty())
        return std::nullopt;
    Script script = found->second.front();
    found->second.pop_front();
    return script;
}

Reply Server::applyScript(const Script& script, const Request& request, const Handler* handler)
{
    if (script.delayMs > 0)
        sleepFor(std::chrono::milliseconds(script.delayMs));

    Reply reply;
    if (script.body) {
        reply.raw = *script.body;
    } else if (script.reply) {
        reply.json = *script.reply;
    } else {
        if (handler)
            reply = (*handler)(request);
        else
            reply = Reply::failure(404, "not found");
        if (reply.json.is_object()) {
            if (script.status)
                reply.json["status"] = *script.status;
            if (script.info)
                reply.json["info"] = *script.info;
            if (script.fields && script.fields->is_object()) {
                for (const auto& [key, value] : script.fields->items()) {
                    if (value.is_null())
                        reply.json.erase(key);
                    else
                        reply.json[key] = value;
                }
            }
        }
    }
    if (script.padBytes > 0 && !reply.raw && reply.json.is_object())
        reply.json["pad"] = std::string(script.padBytes, 'x');
    if (script.httpStatus)
        reply.httpStatus = *script.httpStatus;
    if (script.contentType)
        reply.contentType = *script.contentType;
    return reply;
}

void Server::addControls()
{
    // Replaces the next reply(ies) of one route. Fields: "route" (required), "http",
    // "status", "info", "fields" (merged; null removes a key), "reply" (the whole JSON
    // reply), "body" (raw text), "contentType", "delayMs", "padBytes", "times".
    route("POST", "/__test/script", [this](const Request& request) {
        const Json& b = request.body;
        const std::string path = stringField(b, "route").value_or("");
        if (path.empty())
            return Reply::failure(2, "route missing");
        Script script;
        if (b.contains("http") && b["http"].is_number_integer())
            script.httpStatus = b["http"].get<int>();
        if (b.contains("status"))
            script.status = b["status"];
        if (b.contains("info"))
            script.info = b["info"];
        if (b.contains("fields"))
            script.fields = b["fields"];
        if (b.contains("reply"))
            script.reply = b["reply"];
        if (b.contains("body") && b["body"].is_string())
            script.body = b["body"].get<std::string>();
        if (b.contains("contentType") && b["contentType"].is_string())
            script.contentType = b["contentType"].get<std::string>();
        if (b.contains("delayMs") && b["delayMs"].is_number_integer())
            script.delayMs = b["delayMs"].get<int>();
        if (b.contains("padBytes") && b["padBytes"].is_number_unsigned())
            script.padBytes = b["padBytes"].get<size_t>();
        int times = 1;
        if (b.contains("times") && b["times"].is_number_integer())
            times = std::max(1, b["times"].get<int>());
        std::lock_guard lock(m_mutex);
        for (int i = 0; i < times; ++i)
            m_scripts[path].push_back(script);
        return Reply::ok({});
    });

    route("GET", "/__test/log", [this](const Request&) {
        std::lock_guard lock(m_mutex);
        return Reply::ok({{"requests", m_log}});
    });

    route("POST", "/__test/reset", [this](const Request&) {
        {
            std::lock_guard lock(m_mutex);
            m_log.clear();
            m_scripts.clear();
        }
        for (const auto& hook : m_resetHooks)
            hook();
        return Reply::ok({});
    });
}

std::unique_ptr<Server> makeServer(Options options)
{
    auto server = std::make_unique<Server>(options);
    addLoginRoutes(*server);
    addDocumentRoutes(*server);
    addConfigRoutes(*server);
    return server;
}

} // namespace standin
