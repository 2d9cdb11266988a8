#include "MarketMedia.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "QrPng.h"

namespace standin {

namespace {

namespace fs = std::filesystem;

std::string percentEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string previewVideo()
{
#ifdef LOOMWORK_STANDIN_PREVIEW_VIDEO
    if (std::string bytes = readFile(LOOMWORK_STANDIN_PREVIEW_VIDEO); !bytes.empty())
        return bytes;
#endif
    return {};
}

uint32_t hashColour(const std::string& text)
{
    return uint32_t(std::hash<std::string>{}(text)) & 0xffffff;
}

std::string picture(const std::string& id, int width, int height)
{
    const uint32_t a = hashColour(id) | 0x303030;
    const uint32_t b = hashColour(id + "b") & 0x7f7f7f;
    return rgbPng(width, height, [=](int x, int y) {
        const int t = (x * 255 / std::max(1, width - 1) + y * 255 / std::max(1, height - 1)) / 2;
        uint32_t out = 0;
        for (int shift = 0; shift <= 16; shift += 8) {
            const int ca = int((a >> shift) & 0xff);
            const int cb = int((b >> shift) & 0xff);
            out |= uint32_t(ca + (cb - ca) * t / 255) << shift;
        }
        return out;
    });
}

Reply mediaReply(std::string bytes, const char* type)
{
    Reply reply;
    reply.contentType = type;
    reply.stream = stringSource(std::move(bytes));
    reply.headers.emplace_back("Cache-Control", "max-age=3600");
    return reply;
}

} // namespace

std::string contentDisposition(const std::string& name)
{
    std::string ascii;
    for (unsigned char c : name)
        ascii.push_back(c < 0x80 && c != '"' && c != '\\' ? char(c) : '_');
    return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + percentEncode(name);
}

Reply notFound()
{
    Reply reply = Reply::failure(404, "not found");
    reply.httpStatus = 404;
    return reply;
}

Reply marketMedia(const Request& request)
{
    const std::string rest = request.path.substr(std::string("/market/media/").size());
    const auto idOf = [&](const std::string& prefix) {
        std::string id = rest.substr(prefix.size());
        return id.size() > 4 ? id.substr(0, id.size() - 4) : id;
    };
    if (rest == "preview.mp4") {
        static const std::string video = previewVideo();
        if (video.empty()) {
            // No encoder was found at build time: a placeholder that says so.
            Reply placeholder = mediaReply("loomwork-standin: no preview video was generated at build time\n", "video/mp4");
            placeholder.headers.emplace_back("X-Standin-Placeholder", "1");
            return placeholder;
        }
        return mediaReply(video, "video/mp4");
    }
    if (rest.rfind("cover/", 0) == 0)
        return mediaReply(picture(idOf("cover/"), 320, 200), "image/png");
    if (rest.rfind("banner/", 0) == 0)
        return mediaReply(picture(idOf("banner/") + "-banner", 960, 300), "image/png");
    return notFound();
}

Reply marketBlob(const Request& request)
{
    // A body of any size that is never stored: "?bytes=N&name=x.zfcp".
    Reply reply;
    int64_t bytes = 0;
    if (const auto found = request.query.find("bytes"); found != request.query.end())
        bytes = std::strtoll(found->second.c_str(), nullptr, 10);
    reply.stream = patternSource(std::max<int64_t>(0, bytes));
    reply.contentType = "application/octet-stream";
    if (const auto name = request.query.find("name"); name != request.query.end())
        reply.headers.emplace_back("Content-Disposition", contentDisposition(name->second));
    return reply;
}

} // namespace standin
