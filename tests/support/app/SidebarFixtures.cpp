#include "support/app/SidebarFixtures.h"

#include "support/app/PluginFixtures.h"

namespace SidebarFixtures {

void makeLibraries()
{
    using namespace PluginFixtures;
    makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("Glow"));
    makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("Blur"));
    makePlugin(PluginRoot::user, ZFCPluginType::subtitle, QStringLiteral("Lower Third"));
    makePlugin(PluginRoot::system, ZFCPluginType::effect, QStringLiteral("Grain"));
    for (const char* name : {"Gradient", "Noise", "Stripes"})
        makePlugin(PluginRoot::system, ZFCPluginType::generator, QString::fromUtf8(name));
}

} // namespace SidebarFixtures
