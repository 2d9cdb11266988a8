#include "MarketCatalog.h"

#include <cstdio>

namespace standin {

namespace {

using Json = nlohmann::json;

std::string pid(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "p%03d", n);
    return text;
}

const char* categoryOf(ZFCPluginType type)
{
    switch (type) {
    case ZFCPluginType::effect:
        return "特效";
    case ZFCPluginType::subtitle:
        return "标题";
    case ZFCPluginType::generator:
        return "发生器";
    case ZFCPluginType::transitions:
        return "转场";
    }
    return "特效";
}

// What a plug-in's media weighs, from a few hundred KB to a few MB, by its number.
int64_t mediaBytes(int n)
{
    static const int64_t kib[] = {260, 410, 580, 830, 1150, 1600, 2300, 3300};
    return kib[(n * 5) % 8] * 1024 + n * 1237;
}

CatalogItem item(int n, const std::string& name, ZFCPluginType type, int price, int finalPrice)
{
    CatalogItem made;
    made.order = n;
    const std::string id = pid(n);
    Json& r = made.record;
    r["pluginId"] = id;
    r["name"] = name;
    r["subtitle"] = name + "：一键套用，参数可调";
    r["category"] = categoryOf(type);
    r["version"] = "1." + std::to_string(n % 5) + "." + std::to_string(n % 3);
    r["compat"] = n % 4 == 0 ? "FCPX 10.6+" : "FCPX 10.4.1+";
    r["language"] = n % 6 == 0 ? "en" : "zh";
    r["vendor"] = n % 2 ? "织机工作室" : "Loom Labs";
    r["desc"] = name + " 是一套为 Final Cut Pro 制作的" + categoryOf(type) + "模板。\n拖到时间线即可使用。";
    r["coverUrl"] = "/market/media/cover/" + id + ".png";
    r["bannerUrl"] = "/market/media/banner/" + id + ".png";
    r["saleCount"] = (n * 37) % 500;
    r["downloadCount"] = (n * 7919) % 3000;
    r["viewCount"] = (n * 104729) % 20000;
    r["featured"] = n <= 10 && n % 2 == 1;
    if (price > 0)
        r["price"] = price;
    if (finalPrice > 0 || price > 0)
        r["finalPrice"] = finalPrice;
    made.folders.push_back({type, name, mediaBytes(n)});
    made.fileName = name + ".zfcp";
    return made;
}

} // namespace

std::vector<CatalogItem> catalogItems()
{
    std::vector<CatalogItem> items;
    using T = ZFCPluginType;

    auto glow = item(1, "Glow", T::subtitle, 0, 0);
    glow.record["name"] = "光晕标题 Glow";
    glow.record["videoUrl"] = "/market/media/preview.mp4";
    items.push_back(glow);

    auto twin = item(2, "双子特效", T::effect, 0, 0);
    twin.folders = {{T::effect, "Twin A", mediaBytes(2) / 2}, {T::effect, "Twin B", mediaBytes(2) / 2}};
    items.push_back(twin);

    auto large = item(3, "大型转场合集", T::transitions, 0, 0);
    large.folders[0].mediaBytes = 8 * 1024 * 1024;
    large.paceMs = 15; // about two seconds on the loopback
    large.record["videoUrl"] = "/market/media/preview.mp4";
    items.push_back(large);

    items.push_back(item(4, "电影片头", T::generator, 2990, 1990));

    auto upper = item(5, "Upper Title", T::subtitle, 0, 0);
    upper.delivery = Delivery::upperCase;
    upper.fileName = "Upper Title.ZFCP";
    items.push_back(upper);

    auto zip = item(6, "素材包", T::generator, 0, 0);
    zip.delivery = Delivery::zip;
    zip.fileName = "素材包.zip";
    items.push_back(zip);

    auto missing = item(7, "已下架插件", T::effect, 0, 0);
    missing.delivery = Delivery::missing;
    items.push_back(missing);

    auto empty = item(8, "空文件插件", T::effect, 0, 0);
    empty.delivery = Delivery::empty;
    items.push_back(empty);

    auto unsized = item(9, "流式下载", T::effect, 0, 0);
    unsized.delivery = Delivery::unsized;
    unsized.folders[0].mediaBytes = 2 * 1024 * 1024;
    items.push_back(unsized);

    auto glowPro = item(10, "Glow", T::subtitle, 990, 990);
    glowPro.record["name"] = "光晕标题 Pro";
    items.push_back(glowPro);

    auto clashes = item(11, "十二宫特效", T::effect, 0, 0);
    clashes.folders.clear();
    for (int i = 1; i <= 12; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Clash %02d", i);
        clashes.folders.push_back({T::effect, name, mediaBytes(11) / 12});
    }
    items.push_back(clashes);

    auto risky = item(12, "来源待核实", T::effect, 0, 0);
    risky.risky = true;
    items.push_back(risky);

    auto sizeable = item(13, "高清光效", T::effect, 4990, 0);
    sizeable.folders[0].mediaBytes = 3 * 1024 * 1024;
    items.push_back(sizeable);

    const char* names[] = {"霓虹闪烁", "胶片颗粒", "极简字幕", "故障风转场", "水墨晕染", "光斑叠加",
                           "动态分屏", "复古录像", "粒子汇聚", "滚动字幕", "缩放转场", "旋转立方",
                           "烟雾文字", "城市夜景", "手写签名", "彩色渐变", "镜头光晕", "快速剪切",
                           "温暖调色", "冷色电影", "抖音卡点", "弹幕字幕", "画中画", "柔光模糊",
                           "Light Leaks", "Film Burn", "Clean Lower Third", "Zoom Blur", "Glitch Text",
                           "Soft Focus", "Paper Cut", "Retro VHS"};
    const T types[] = {T::effect, T::subtitle, T::generator, T::transitions};
    int n = 14;
    for (const char* name : names) {
        const int price = n % 3 == 0 ? 1990 + (n % 4) * 1000 : 0;
        const int finalPrice = price > 0 && n % 2 == 0 ? price - 1000 : price;
        items.push_back(item(n, name, types[n % 4], price, finalPrice));
        ++n;
    }
    return items;
}

} // namespace standin
