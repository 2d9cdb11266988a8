#pragma once

#include <optional>
#include <set>
#include <string>

#include "LoomworkKit/ZFCPluginType.h"

// Where the plug-ins of one package land when extracted whole: ROOT/category/folder. Two that
// land in one folder would leave only the last, so extraction refuses such a package and pack
// does not make one.
class Landings
{
public:
    struct Place
    {
        std::string category;
        std::string folder;
    };

    // `refusal` leads the message of a refusal: why, and what stands on disk.
    explicit Landings(std::string refusal) : m_refusal(std::move(refusal)) {}

    // The place of a plug-in of `type` (none: unknown) named `name`. Throws Failure when an
    // earlier one lands there too.
    Place add(const std::optional<ZFCPluginType>& type, const std::string& name);

private:
    std::string m_refusal;
    std::set<std::string> m_seen;
};
