#include "LoomworkKit/ZFCPlugin.h"

#include "KitInternal.h"

std::optional<ZFCPluginType> ZFCPlugin::pluginType() const { return ZFCPluginType::from(type); }

std::string ZFCPlugin::toJson() const { return kit::dumpJson(kit::toJsonValue(*this)); }

std::string ZFCPlugin::encodeArray(const std::vector<ZFCPlugin>& plugins)
{
    nlohmann::json array = nlohmann::json::array();
    for (const ZFCPlugin& plugin : plugins)
        array.push_back(kit::toJsonValue(plugin));
    return kit::dumpJson(array);
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
        const nlohmann::json value = nlohmann::json::parse(json);
        if (!value.is_array())
            return std::nullopt;
        std::vector<ZFCPlugin> plugins;
        plugins.reserve(value.size());
        for (const nlohmann::json& record : value)
            plugins.push_back(kit::pluginFromJsonValue(record));
        return plugins;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
