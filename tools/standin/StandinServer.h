#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Response;
}

namespace standin {

using Json = nlohmann::json;

struct Options
{
    int port = 0;                        // 0 picks a free port
    std::string catalogDir;              // market packages go here; extra *.zfcp join the shop
    double autoScanAfterSeconds = -1;    // a QR login confirms itself after this; < 0 never
    double sessionSeconds = 3 * 24 * 3600.0;
    std::string stateFile;               // sessions, members, purchases kept across runs; empty: none
};

struct Request
{
    std::string method;
    std::string path;
    std::string target; // the path with the query as sent
    std::string rawBody;
    Json body; // the parsed body when it is JSON, else null
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers; // names in lower case
};

// A body produced piece by piece, so that large downloads never sit in memory.
class BodySource
{
public:
    virtual ~BodySource() = default;
    virtual int64_t size() const = 0;
    // Up to `length` bytes from `offset` into `out`; the count read, 0 at the end or on error.
    virtual size_t read(int64_t offset, char* out, size_t length) const = 0;
};

std::shared_ptr<BodySource> fileSource(const std::string& path); // null when unreadable
std::shared_ptr<BodySource> stringSource(std::string bytes);
// `length` bytes of a fixed pseudo-random pattern.
std::shared_ptr<BodySource> patternSource(int64_t length);

// `object[key]` when `object` is an object with a string under `key`.
std::optional<std::string> stringField(const Json& object, const char* key);

// What a route answers. `raw` wins over `json` when set.
struct Reply
{
    int httpStatus = 200;
    Json json = Json::object();
    std::optional<std::string> raw;
    std::string contentType = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    // A streamed body (wins over raw and json). A 200 reply with a stream answers a single
    // "Range: bytes=a-b" with 206.
    std::shared_ptr<BodySource> stream;
    // Delivery: chunked hides the length; unsized sends none and ends the body by closing
    // the connection; the connection drops after cutAfter bytes; each 64 KiB piece waits
    // slowMs first.
    bool chunked = false;
    bool unsized = false;
    int64_t cutAfter = -1;
    int slowMs = 0;

    static Reply ok(Json payload);                       // {"status":0,"info":"ok",...payload}
    static Reply failure(int status, const std::string& info);
};

// The stand-in server. Routes are registered before start(); each is a method and an exact
// path. Every request outside "/__test/" is logged (with "atMs", milliseconds since the
// server was made, so that tests can read the waits between requests) and may be replaced
// by a scripted reply
// (see the "/__test/script" control). Handlers run on the server's worker threads; they
// share state through their own captured objects, guarded by their own locks.
class Server
{
public:
    using Handler = std::function<Reply(const Request&)>;

    explicit Server(Options options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void route(const std::string& method, const std::string& path, Handler handler);
    // Answers every path that starts with `prefix` and has no exact route.
    void routePrefix(const std::string& method, const std::string& prefix, Handler handler);
    // Answers requests of `method` that no route matched (one per method).
    void fallback(const std::string& method, Handler handler);
    // Called by "/__test/reset" after the log and the scripts are cleared.
    void onReset(std::function<void()> hook);
    // Called by shutDown(): work that must end before the process does (temporary files).
    void onShutdown(std::function<void()> hook);
    // For an executable that exits without stopping the server (workers may sit in
    // keep-alive reads): runs the shutdown hooks.
    void shutDown();

    // Binds 127.0.0.1 and serves on a thread of its own. False when the port is taken.
    bool start();
    void stop();
    // Blocks until stop() (for the executable).
    void wait();

    int port() const { return m_port; }
    std::string baseUrl() const; // "http://127.0.0.1:PORT/"
    const Options& options() const { return m_options; }

    // Sleeps, waking early when the server stops.
    void sleepFor(std::chrono::milliseconds duration);

private:
    struct Script
    {
        std::optional<int> httpStatus;
        std::optional<Json> status;
        std::optional<Json> info;
        std::optional<Json> fields;
        std::optional<Json> reply;
        std::optional<std::string> body;
        std::optional<std::string> contentType;
        int delayMs = 0;
        size_t padBytes = 0;
        std::vector<std::pair<std::string, std::string>> headers;
        bool chunked = false;
        bool unsized = false;
        int64_t cutAfter = -1;
        int slowMs = 0;
        int redirects = 0; // answered first, each to the route again
        int redirectStatus = 302;
        bool close = false; // "Connection: close" on the redirects and the reply
    };
    void send(const Reply& reply, const Request& request, httplib::Response& response);
    const Handler* findRoute(const Request& request) const;

    void addControls();
    Reply dispatch(const Request& request);
    std::optional<Script> takeScript(const std::string& path); // under m_mutex
    Reply applyScript(const Script& script, const Request& request, const Handler* handler);
    Reply redirectAgain(Script script, const Request& request);

    Options m_options;
    std::unique_ptr<httplib::Server> m_http;
    std::thread m_thread;
    int m_port = 0;

    std::map<std::pair<std::string, std::string>, Handler> m_routes;
    std::map<std::pair<std::string, std::string>, Handler> m_prefixRoutes;
    std::map<std::string, Handler> m_fallbacks;
    std::vector<std::function<void()>> m_resetHooks;
    std::vector<std::function<void()>> m_shutdownHooks;

    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::mutex m_mutex; // the log and the scripts
    std::vector<Json> m_log;
    std::map<std::string, std::deque<Script>> m_scripts;

    std::mutex m_stopMutex;
    std::condition_variable m_stopped;
    bool m_stopping = false;
};

// Builds a server with every route of the service.
std::unique_ptr<Server> makeServer(Options options);

} // namespace standin
