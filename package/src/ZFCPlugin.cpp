#include "LoomworkKit/ZFCPlugin.h"

#include "KitInternal.h"

std::optional<ZFCPluginType> ZFCPlugin::pluginType() const { return ZFCPluginType::from(type); }

std::string ZFCPlugin::toJson() const { std::string out;
    kit::appendJson(out, *this);
    return out; }

std::string ZFCPlugin::encodeArray(const std::vector<ZFCPlugin>& plugins)
{
    std::string out = "[";
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        if (i)
            out.push_back(',');
        kit::appendJson(out, plugins[i]);
    }
    out.push_back(']');
    return out;
}

std::optional<ZFCPlugin> ZFCPlugin::fromJson(std::string_view json)
{
    try {
        return kit::pluginFromJsonValue(nlohmann::json::parse(json));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<ZFCPlugin>> ZFCPlugin::decodeArray(std::string_view json)
{
    try {
        return kit::decodeMetadata(json);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
