#include "ConfigRoutes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "QrPng.h"
#include "StandinServer.h"

namespace standin {

namespace {

const char* const kConfigPath = "/v2/config.json";
const char* const kAdPath = "/ad.json";
const char* const kAppPath = "/app.json";

// "$BASE/" in a default document stands for the server's own address, known only once it runs.
Json withBase(const Json& value, const std::string& base)
{
    if (value.is_string()) {
        std::string text = value.get<std::string>();
        const std::string marker = "$BASE/";
        if (text.rfind(marker, 0) == 0)
            text = base + text.substr(marker.size());
        return text;
    }
    if (value.is_array() || value.is_object()) {
        Json copy = value;
        for (auto& element : copy)
            element = withBase(element, base);
        return copy;
    }
    return value;
}

Json defaultConfig()
{
    return {
        {"notice", "插件市场已上线：精选字幕、转场与调色模板，购买后一键安装到 Final Cut Pro。"},
        {"noticeTitle", "公告"},
        {"noticeId", "2026-12-market"},
        {"adShow", true},
        {"adOverlay", true},
        {"adText", "冬季模板合集限时 7 折"},
        {"adSubText", "200+ 款字幕与转场，一次购买永久更新"},
        {"adBadge", "限时"},
        {"adLink", "https://loomwork.example/market/winter"},
        {"adImage", "$BASE/promo/banner.png"},
        {"adAlign", "left"},
        {"adOverlayOpacity", 45},
        {"qrcodeUrl", "$BASE/promo/qrcode.png"},
        {"sidebarCards", Json::array({
            {{"id", "market"}, {"title", "插件市场"}, {"subtitle", "精选模板每周上新"},
             {"button", "去看看"}, {"image", "$BASE/promo/icon.png"},
             {"link", "https://loomwork.example/market"}, {"badge", "新"}, {"tint", "purple"}},
            {{"id", "follow"}, {"title", "关注公众号"}, {"subtitle", "扫码获取插件更新与使用教程"},
             {"button", "查看二维码"}, {"image", "$BASE/promo/qrcode.png"}, {"tint", "teal"}},
        })},
        // The version being built, so that a first run opens no update prompt over the login.
        {"latestVersion", LOOMWORK_STANDIN_APP_VERSION},
        {"changelog", "- 新增插件市场，可在线购买与一键安装\n- 主窗口显示公告与更新提示\n"
                      "- 侧边栏推广卡片\n- 修复大批量备份时进度显示不准的问题"},
        {"downloadUrl", "https://loomwork.example/download"},
        {"forceUpdate", false},
    };
}

std::map<std::string, Json> defaultDocuments()
{
    return {
        {kConfigPath, defaultConfig()},
        {kAdPath, {{"adShow", true}, {"adUrl", "https://loomwork.example/market"}}},
        {kAppPath, {{"qrcodeUrl", "$BASE/promo/qrcode.png"}}},
    };
}

struct Document
{
    Json json;
    std::string mode = "default";
    int delayMs = 12000;
};

struct State
{
    std::mutex mutex;
    std::map<std::string, Document> documents;

    void reset()
    {
        documents.clear();
        for (auto& [path, json] : defaultDocuments())
            documents[path].json = json;
    }
};

// A PNG from packed RGB bytes, rows top down.
std::string pngOf(int width, int height, const std::string& rgb)
{
    return rgbPng(width, height, [&](int x, int y) {
        const size_t i = (size_t(y) * width + x) * 3;
        return uint32_t(uint8_t(rgb[i])) << 16 | uint32_t(uint8_t(rgb[i + 1])) << 8 | uint8_t(rgb[i + 2]);
    });
}

unsigned char channel(double value)
{
    return static_cast<unsigned char>(std::clamp(value, 0.0, 255.0));
}

// A wide banner: a deep blue to violet sweep with soft diagonal bands, lighter at its right
// edge so that the bar's stretched edge strip is visible.
std::string bannerPng()
{
    const int w = 1200, h = 200;
    std::string rgb(size_t(w) * h * 3, '\0');
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double t = double(x) / (w - 1);
            const double band = 0.5 + 0.5 * std::sin((x + y * 1.4) / 38.0);
            const double glow = std::exp(-std::pow((x - 900.0) / 260.0, 2) - std::pow((y - 80.0) / 90.0, 2));
            const size_t i = (size_t(y) * w + x) * 3;
            rgb[i] = char(channel(40 + 120 * t + 18 * band + 90 * glow));
            rgb[i + 1] = char(channel(52 + 30 * t + 14 * band + 70 * glow));
            rgb[i + 2] = char(channel(150 + 70 * t + 16 * band + 40 * glow));
        }
    }
    return pngOf(w, h, rgb);
}

// A square icon: a violet tile with a light circle.
std::string iconPng()
{
    const int s = 128;
    std::string rgb(size_t(s) * s * 3, '\0');
    for (int y = 0; y < s; ++y) {
        for (int x = 0; x < s; ++x) {
            const double d = std::hypot(x - 64.0, y - 60.0);
            const bool ring = d > 26 && d < 38;
            const size_t i = (size_t(y) * s + x) * 3;
            rgb[i] = char(ring ? 250 : channel(120 + y * 0.5));
            rgb[i + 1] = char(ring ? 240 : channel(80 + x * 0.2));
            rgb[i + 2] = char(ring ? 255 : 210);
        }
    }
    return pngOf(s, s, rgb);
}

Reply picture(const std::string& png)
{
    Reply reply;
    reply.raw = png;
    reply.contentType = "image/png";
    return reply;
}

} // namespace

void addConfigRoutes(Server& server)
{
    auto state = std::make_shared<State>();
    state->reset();
    server.onReset([state] {
        std::lock_guard lock(state->mutex);
        state->reset();
    });

    for (const char* path : {kConfigPath, kAdPath, kAppPath}) {
        server.route("GET", path, [state, &server, path](const Request&) {
            Document document;
            {
                std::lock_guard lock(state->mutex);
                document = state->documents[path];
            }
            const Json json = withBase(document.json, server.baseUrl());
            Reply reply;
            reply.json = json;
            if (document.mode == "nonjson") {
                reply.raw = "<html><body>502 Bad Gateway</body></html>";
                reply.contentType = "text/html";
            } else if (document.mode == "error500") {
                reply.httpStatus = 500;
            } else if (document.mode == "slow") {
                server.sleepFor(std::chrono::milliseconds(document.delayMs));
            } else if (document.mode == "closed") {
                reply.cutAfter = 0;
            } else if (document.mode == "missing") {
                reply = Reply::failure(404, "not found");
                reply.httpStatus = 404;
            }
            return reply;
        });
    }

    server.route("POST", "/__test/config", [state](const Request& request) {
        const Json& body = request.body;
        const std::string path = stringField(body, "path").value_or(kConfigPath);
        std::lock_guard lock(state->mutex);
        if (!state->documents.count(path))
            return Reply::failure(2, "no such document");
        Document& document = state->documents[path];
        document.mode = stringField(body, "mode").value_or("default");
        if (body.contains("document"))
            document.json = body["document"];
        if (body.contains("fields") && body["fields"].is_object() && document.json.is_object()) {
            for (const auto& [key, value] : body["fields"].items()) {
                if (value.is_null())
                    document.json.erase(key);
                else
                    document.json[key] = value;
            }
        }
        if (body.contains("delayMs") && body["delayMs"].is_number_integer())
            document.delayMs = body["delayMs"].get<int>();
        return Reply::ok({});
    });

    const auto banner = std::make_shared<std::string>(bannerPng());
    const auto icon = std::make_shared<std::string>(iconPng());
    const auto qrcode = std::make_shared<std::string>(qrPng("https://loomwork.example/follow"));
    server.route("GET", "/promo/banner.png", [banner](const Request&) { return picture(*banner); });
    server.route("GET", "/promo/icon.png", [icon](const Request&) { return picture(*icon); });
    server.route("GET", "/promo/qrcode.png", [qrcode](const Request&) { return picture(*qrcode); });
    server.route("GET", "/promo/pixel.png",
                 [](const Request&) { return picture(rgbPng(1, 1, [](int, int) { return 0xFF8000u; })); });
    server.route("GET", "/promo/broken.png", [](const Request&) {
        Reply reply;
        reply.raw = "<!doctype html><html><body>Not here</body></html>";
        reply.contentType = "text/html";
        return reply;
    });
    server.route("GET", "/promo/slow.png", [qrcode, &server](const Request& request) {
        int ms = 4000;
        const auto found = request.query.find("ms");
        if (found != request.query.end())
            ms = std::clamp(std::atoi(found->second.c_str()), 0, 60000);
        server.sleepFor(std::chrono::milliseconds(ms));
        return picture(*qrcode);
    });
}

} // namespace standin
