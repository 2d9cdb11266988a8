#include "support/views/EffectListTest.h"

#include "support/app/PluginFixtures.h"

void EffectListTest::makeEffects(int count, const QString& pattern)
{
    for (int i = 0; i < count; ++i)
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, pattern.arg(i));
    ListFixtures::scan(state);
    ASSERT_EQ(state.filteredPlugins().size(), count);
}

QString EffectListTest::id(int row) const
{
    return state.filteredPlugins()[row].id();
}

QSet<QString> EffectListTest::rows(std::initializer_list<int> list) const
{
    QSet<QString> ids;
    for (int r : list)
        ids.insert(id(r));
    return ids;
}
