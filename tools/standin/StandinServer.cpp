#include "StandinServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include "ConfigRoutes.h"
#include "DocumentRoutes.h"
#include "LoginRoutes.h"
#include "MarketRoutes.h"
#include "StateFile.h"

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

constexpr size_t pieceBytes = 64 * 1024;

class FileSource final : public BodySource
{
public:
    FileSource(int fd, int64_t size) : m_fd(fd), m_size(size) {}
    ~FileSource() override { ::close(m_fd); }
    int64_t size() const override { return m_size; }
    size_t read(int64_t offset, char* out, size_t length) const override
    {
        const ssize_t got = ::pread(m_fd, out, length, off_t(offset));
        return got > 0 ? size_t(got) : 0;
    }

private:
    int m_fd;
    int64_t m_size;
};

class StringSource final : public BodySource
{
public:
    explicit StringSource(std::string bytes) : m_bytes(std::move(bytes)) {}
    int64_t size() const override { return int64_t(m_bytes.size()); }
    size_t read(int64_t offset, char* out, size_t length) const override
    {
        if (offset < 0 || offset >= size())
            return 0;
        const size_t n = std::min(length, m_bytes.size() - size_t(offset));
        std::memcpy(out, m_bytes.data() + offset, n);
        return n;
    }

private:
    std::string m_bytes;
};

class PatternSource final : public BodySource
{
public:
    explicit PatternSource(int64_t length) : m_length(length) {}
    int64_t size() const override { return m_length; }
    size_t read(int64_t offset, char* out, size_t length) const override
    {
        if (offset < 0 || offset >= m_length)
            return 0;
        const size_t n = size_t(std::min<int64_t>(int64_t(length), m_length - offset));
        for (size_t i = 0; i < n; ++i) {
            uint64_t x = uint64_t(offset + int64_t(i)) * 0x9E3779B97F4A7C15ull;
            x ^= x >> 29;
            out[i] = char(x * 0xBF58476D1CE4E5B9ull >> 56);
        }
        return n;
    }

private:
    int64_t m_length;
};

// "bytes=a-b", "bytes=a-", "bytes=-n" against a body of `size`; nothing when the header is
// not one satisfiable range.
std::optional<std::pair<int64_t, int64_t>> singleRange(const std::string& header, int64_t size)
{
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos || size <= 0)
        return std::nullopt;
    const std::string bounds = header.substr(6);
    const size_t dash = bounds.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const std::string a = bounds.substr(0, dash);
    const std::string b = bounds.substr(dash + 1);
    try {
        int64_t first = 0;
        int64_t last = size - 1;
        if (a.empty()) {
            if (b.empty())
                return std::nullopt;
            first = std::max<int64_t>(0, size - std::stoll(b));
        } else {
            first = std::stoll(a);
            if (!b.empty())
                last = std::min(last, int64_t(std::stoll(b)));
        }
        if (first < 0 || first > last || first >= size)
            return std::nullopt;
        return std::make_pair(first, last);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

std::shared_ptr<BodySource> fileSource(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_shared<FileSource>(fd, int64_t(size));
}

std::shared_ptr<BodySource> stringSource(std::string bytes)
{
    return std::make_shared<StringSource>(std::move(bytes));
}

std::shared_ptr<BodySource> patternSource(int64_t length)
{
    return std::make_shared<PatternSource>(length);
}

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

void Server::routePrefix(const std::string& method, const std::string& prefix, Handler handler)
{
    m_prefixRoutes[{method, prefix}] = std::move(handler);
}

const Server::Handler* Server::findRoute(const Request& request) const
{
    const auto found = m_routes.find({request.method, request.path});
    if (found != m_routes.end())
        return &found->second;
    const Handler* best = nullptr;
    size_t bestLength = 0;
    for (const auto& [key, handler] : m_prefixRoutes) {
        if (key.first == request.method && request.path.rfind(key.second, 0) == 0 && key.second.size() > bestLength) {
            best = &handler;
            bestLength = key.second.size();
        }
    }
    return best;
}

void Server::send(const Reply& reply, const Request& request, httplib::Response& response)
{
    response.status = reply.httpStatus;
    for (const auto& [name, value] : reply.headers)
        response.set_header(name, value);
    const bool shaped = reply.chunked || reply.unsized || reply.cutAfter >= 0 || reply.slowMs > 0;
    if (!reply.stream && !shaped) {
        response.set_content(reply.raw ? *reply.raw : reply.json.dump(), reply.contentType);
        return;
    }
    std::shared_ptr<BodySource> source = reply.stream ? reply.stream
                                                      : stringSource(reply.raw ? *reply.raw : reply.json.dump());
    int64_t first = 0;
    int64_t length = source->size();
    if (reply.stream && reply.httpStatus == 200) {
        response.set_header("Accept-Ranges", "bytes");
        const auto range = request.headers.find("range");
        if (range != request.headers.end()) {
            if (const auto span = singleRange(range->second, source->size())) {
                first = span->first;
                length = span->second - span->first + 1;
                response.status = 206;
                response.set_header("Content-Range", "bytes " + std::to_string(span->first) + "-"
                                                         + std::to_string(span->second) + "/"
                                                         + std::to_string(source->size()));
            } else {
                response.status = 416;
                response.set_header("Content-Range", "bytes */" + std::to_string(source->size()));
                response.set_content("", reply.contentType);
                return;
            }
        }
    }
    const int64_t limit = reply.cutAfter >= 0 ? std::min(length, reply.cutAfter) : length;
    const bool cut = limit < length;
    const int slowMs = reply.slowMs;
    // Writes one piece at `offset` of the body; false drops the connection.
    auto piece = [this, source, first, limit, cut, slowMs](size_t offset, httplib::DataSink& sink) {
        if (int64_t(offset) >= limit)
            return !cut;
        if (slowMs > 0)
            sleepFor(std::chrono::milliseconds(slowMs));
        std::string buffer(size_t(std::min<int64_t>(int64_t(pieceBytes), limit - int64_t(offset))), '\0');
        const size_t got = source->read(first + int64_t(offset), buffer.data(), buffer.size());
        if (got == 0)
            return false;
        return sink.write(buffer.data(), got);
    };
    if (reply.chunked || reply.unsized) {
        const auto provider = [piece, limit, cut](size_t offset, httplib::DataSink& sink) {
            if (int64_t(offset) >= limit) {
                if (cut)
                    return false;
                sink.done();
                return true;
            }
            return piece(offset, sink);
        };
        if (reply.chunked)
            response.set_chunked_content_provider(reply.contentType, provider);
        else
            response.set_content_provider(reply.contentType, provider);
    } else {
        response.set_content_provider(size_t(length), reply.contentType,
                                      [piece](size_t offset, size_t, httplib::DataSink& sink) {
                                          return piece(offset, sink);
                                      });
    }
}

void Server::fallback(const std::string& method, Handler handler)
{
    m_fallbacks[method] = std::move(handler);
}

void Server::onReset(std::function<void()> hook)
{
    m_resetHooks.push_back(std::move(hook));
}

void Server::onShutdown(std::function<void()> hook)
{
    m_shutdownHooks.push_back(std::move(hook));
}

void Server::shutDown()
{
    for (const auto& hook : m_shutdownHooks)
        hook();
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
        request.target = http.target;
        request.rawBody = http.body;
        request.body = parseBody(http.body);
        for (const auto& [key, value] : http.params)
            request.query[key] = value;
        for (const auto& [key, value] : http.headers) {
            std::string name = key;
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            request.headers[name] = value;
        }
        // Ranges are answered by send(), never sliced again by the library.
        const_cast<httplib::Request&>(http).ranges.clear();
        const Reply reply = dispatch(request);
        send(reply, request, response);
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
    const Handler* handler = findRoute(request);
    if (isControl(request.path)) {
        if (!handler)
            return Reply::failure(404, "no such control");
        return (*handler)(request);
    }

    // Logged and given its script at once: a test that sees the entry knows which request
    // took the script.
    std::optional<Script> script;
    {
        std::lock_guard lock(m_mutex);
        const auto elapsed = std::chrono::steady_clock::now() - m_started;
        Json entry = {{"method", request.method}, {"path", request.path},
                      {"atMs", std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()}};
        entry["body"] = request.body.is_null() ? Json(request.rawBody) : request.body;
        m_log.push_back(std::move(entry));
        script = takeScript(request.path);
    }

    if (!handler) {
        const auto fallback = m_fallbacks.find(request.method);
        if (fallback != m_fallbacks.end())
            handler = &fallback->second;
    }
    if (script) {
        if (script->redirects > 0)
            return redirectAgain(*script, request);
        return applyScript(*script, request, handler);
    }
    if (!handler) {
        Reply reply = Reply::failure(404, "not found");
        reply.httpStatus = 404;
        return reply;
    }
    return (*handler)(request);
}

std::optional<Server::Script> Server::takeScript(const std::string& path)
{
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
    for (const auto& header : script.headers) {
        std::erase_if(reply.headers, [&](const auto& existing) { return existing.first == header.first; });
        reply.headers.push_back(header);
    }
    if (script.chunked)
        reply.chunked = true;
    if (script.unsized)
        reply.unsized = true;
    if (script.close)
        reply.headers.emplace_back("Connection", "close");
    if (script.cutAfter >= 0)
        reply.cutAfter = script.cutAfter;
    if (script.slowMs > 0)
        reply.slowMs = script.slowMs;
    return reply;
}

// One hop of a scripted redirect chain: back to the same route, "hop=<left>" in front of its
// query, with an empty body; the script waits for the next hop.
Reply Server::redirectAgain(Script script, const Request& request)
{
    --script.redirects;
    const size_t mark = request.target.find('?');
    std::string target = request.path + "?hop=" + std::to_string(script.redirects);
    if (mark != std::string::npos) {
        std::stringstream items(request.target.substr(mark + 1));
        for (std::string item; std::getline(items, item, '&');) {
            if (!item.empty() && item.rfind("hop=", 0) != 0)
                target += "&" + item;
        }
    }
    Reply reply;
    reply.httpStatus = script.redirectStatus;
    reply.raw = "";
    reply.contentType = "text/plain";
    reply.headers.emplace_back("Location", target);
    if (script.close)
        reply.headers.emplace_back("Connection", "close");
    std::lock_guard lock(m_mutex);
    m_scripts[request.path].push_front(std::move(script));
    return reply;
}

void Server::addControls()
{
    // Replaces the next reply(ies) of one route. Fields: "route" (required), "http",
    // "status", "info", "fields" (merged; null removes a key), "reply" (the whole JSON
    // reply), "body" (raw text), "contentType", "delayMs", "padBytes", "times";
    // "headers" (object of strings, e.g. Location, Content-Disposition, Content-Encoding),
    // "chunked" (no length), "unsized" (no length, the connection closes at the end),
    // "cutAfter" (bytes, then the connection drops), "slowMs" (a pause before every 64 KiB
    // piece of the body); "redirects" (that many redirects to the route first),
    // "redirectStatus" (302 unless given), "close" (Connection: close on each of them).
    // "times" repeats the whole script, redirects included.
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
        if (b.contains("headers") && b["headers"].is_object()) {
            for (const auto& [name, value] : b["headers"].items()) {
                if (value.is_string())
                    script.headers.emplace_back(name, value.get<std::string>());
            }
        }
        if (b.contains("chunked") && b["chunked"].is_boolean())
            script.chunked = b["chunked"].get<bool>();
        if (b.contains("cutAfter") && b["cutAfter"].is_number_integer())
            script.cutAfter = b["cutAfter"].get<int64_t>();
        if (b.contains("slowMs") && b["slowMs"].is_number_integer())
            script.slowMs = b["slowMs"].get<int>();
        if (b.contains("unsized") && b["unsized"].is_boolean())
            script.unsized = b["unsized"].get<bool>();
        if (b.contains("close") && b["close"].is_boolean())
            script.close = b["close"].get<bool>();
        if (b.contains("redirects") && b["redirects"].is_number_integer())
            script.redirects = std::max(0, b["redirects"].get<int>());
        if (b.contains("redirectStatus") && b["redirectStatus"].is_number_integer())
            script.redirectStatus = b["redirectStatus"].get<int>();
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
    auto state = std::make_shared<StateFile>(options.stateFile);
    const MemberOf memberOf = addLoginRoutes(*server, state);
    addDocumentRoutes(*server);
    addConfigRoutes(*server);
    addMarketRoutes(*server, state, memberOf);
    return server;
}

} // namespace standin
