#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include "engine/library/AppState.h"
#include "engine/templates/LocalizedStore.h"
#include "engine/market/MarketInstallRegistry.h"
#include "library/SidebarModel.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/SidebarFixtures.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

using ListFixtures::scan;
using SidebarFixtures::makeLibraries;

namespace {

using RowId = SidebarModel::RowId;
using Section = SidebarModel::Section;

const QList<RowId> kAllRows{RowId::allPlugins, RowId::userLibrary, RowId::systemLibrary,
                            RowId::localized, RowId::market, RowId::allCategories,
                            RowId::effect, RowId::subtitle, RowId::generator, RowId::transitions};

QList<RowId> selectedRows(const SidebarModel& model)
{
    QList<RowId> out;
    for (RowId id : kAllRows)
        if (model.row(id).selected)
            out << id;
    return out;
}

class SidebarModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
    }
};

} // namespace

// Only the market row explains itself; library rows never count.
TEST_F(SidebarModelTest, OnlyTheMarketRowHasATipAndOnlyCategoriesCount)
{
    AppState state;
    SidebarModel model(&state);
    for (RowId id : kAllRows) {
        SCOPED_TRACE(int(id));
        const auto row = model.row(id);
        EXPECT_EQ(row.toolTip, id == RowId::market ? QStringLiteral("浏览并单独购买插件") : QString());
        EXPECT_EQ(row.count.has_value(), SidebarModel::rowIds(Section::categories).contains(id));
    }
}

TEST_F(SidebarModelTest, ClicksSetOneFilterAndKeepTheOther)
{
    AppState state;
    SidebarModel model(&state);
    int marketCalls = 0;
    model.onOpenMarket = [&] { ++marketCalls; };

    struct Step {
        const char* label;
        RowId click;
        QList<RowId> selected;
    };
    const Step steps[] = {
        {"start: all plug-ins and all categories", RowId::allPlugins, {RowId::allPlugins, RowId::allCategories}},
        {"system library keeps all categories", RowId::systemLibrary, {RowId::systemLibrary, RowId::allCategories}},
        {"subtitle keeps the system library", RowId::subtitle, {RowId::systemLibrary, RowId::subtitle}},
        {"market changes nothing", RowId::market, {RowId::systemLibrary, RowId::subtitle}},
        {"translated keeps subtitle", RowId::localized, {RowId::localized, RowId::subtitle}},
        {"user library", RowId::userLibrary, {RowId::userLibrary, RowId::subtitle}},
        {"transitions", RowId::transitions, {RowId::userLibrary, RowId::transitions}},
        {"all categories keeps the user library", RowId::allCategories, {RowId::userLibrary, RowId::allCategories}},
        {"back to all plug-ins", RowId::allPlugins, {RowId::allPlugins, RowId::allCategories}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        model.activate(step.click);
        EXPECT_EQ(selectedRows(model), step.selected);
    }
    EXPECT_EQ(marketCalls, 1);
    EXPECT_TRUE(state.libraryFilter() == LibraryFilter::allLibraries());
    EXPECT_FALSE(state.categoryFilter().has_value());

    // The state after the market click, read from the store itself.
    model.activate(RowId::systemLibrary);
    model.activate(RowId::generator);
    model.activate(RowId::market);
    EXPECT_TRUE(state.libraryFilter() == LibraryFilter::onlyRoot(PluginRoot::system));
    EXPECT_EQ(state.categoryFilter(), std::optional<ZFCPluginType>(ZFCPluginType::generator));
    EXPECT_EQ(marketCalls, 2);
}

TEST_F(SidebarModelTest, CategoryCountsFollowTheLibraryFilter)
{
    makeLibraries();
    AppState state;
    scan(state);
    ASSERT_EQ(state.plugins().size(), 7);
    // One translated plug-in in each library.
    for (const Plugin& p : state.plugins()) {
        if (p.name == QLatin1String("Lower Third") || p.name == QLatin1String("Noise")) {
            EXPECT_EQ(LocalizedStore::mark(p, 3), 0);
        }
    }
    state.reloadLocalized();

    SidebarModel model(&state);
    struct Case {
        const char* label;
        RowId library;
        // all, effect, subtitle, generator, transitions
        std::array<int, 5> counts;
    };
    const Case cases[] = {
        {"all plug-ins", RowId::allPlugins, {7, 3, 1, 3, 0}},
        {"user library", RowId::userLibrary, {3, 2, 1, 0, 0}},
        {"system library", RowId::systemLibrary, {4, 1, 0, 3, 0}},
        {"translated", RowId::localized, {2, 0, 1, 1, 0}},
    };
    const QList<RowId> categories = SidebarModel::rowIds(Section::categories);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        model.activate(c.library);
        // A chosen category does not change any count.
        for (RowId category : {RowId::allCategories, RowId::subtitle}) {
            model.activate(category);
            for (int i = 0; i < categories.size(); ++i)
                EXPECT_EQ(model.row(categories[i]).count, std::optional<int>(c.counts[i])) << i;
        }
        for (RowId id : SidebarModel::rowIds(Section::library))
            EXPECT_FALSE(model.row(id).count.has_value());
    }
}

TEST_F(SidebarModelTest, ALibraryThatFailedToScanShowsItsErrorInsteadOfACount)
{
    PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("Glow"));
    QDir(TestEnv::systemLibrary()).removeRecursively();
    AppState state;
    scan(state);
    ASSERT_TRUE(state.scanErrors().contains(PluginRoot::system));

    SidebarModel model(&state);
    const auto system = model.row(RowId::systemLibrary);
    EXPECT_EQ(system.error, std::optional<QString>(state.scanErrors().value(PluginRoot::system)));
    EXPECT_FALSE(system.count.has_value());
    EXPECT_TRUE(system.toolTip.isEmpty());
    EXPECT_FALSE(model.row(RowId::userLibrary).error.has_value());
    for (RowId id : kAllRows) {
        if (id != RowId::systemLibrary) {
            EXPECT_FALSE(model.row(id).error.has_value()) << int(id);
        }
    }

    // The error goes once the library scans again.
    QSignalSpy changed(&model, &SidebarModel::changed);
    QDir().mkpath(TestEnv::systemLibrary());
    scan(state);
    EXPECT_FALSE(model.row(RowId::systemLibrary).error.has_value());
    EXPECT_FALSE(changed.isEmpty());
}

TEST_F(SidebarModelTest, FiltersChangedElsewhereAreShownAtOnce)
{
    AppState state;
    SidebarModel model(&state);
    QSignalSpy changed(&model, &SidebarModel::changed);
    state.setCategoryFilter(ZFCPluginType::effect);
    state.setLibraryFilter(LibraryFilter::onlyLocalized());
    EXPECT_GE(changed.count(), 2);
    EXPECT_EQ(selectedRows(model), (QList<RowId>{RowId::localized, RowId::effect}));
}

TEST_F(SidebarModelTest, DisplayNameIsTheTrimmedNicknameOrUserCentre)
{
    auto member = [](std::optional<QString> nick) {
        Member m;
        m.memberKey = QStringLiteral("k1");
        m.nickName = std::move(nick);
        return std::optional<Member>(m);
    };
    struct Case {
        const char* label;
        std::optional<Member> member;
        QString shown;
    };
    const Case cases[] = {
        {"no member", std::nullopt, QStringLiteral("用户中心")},
        {"no nickname", member(std::nullopt), QStringLiteral("用户中心")},
        {"empty", member(QStringLiteral("")), QStringLiteral("用户中心")},
        {"spaces only", member(QStringLiteral("    ")), QStringLiteral("用户中心")},
        {"newlines, tabs and ideographic space", member(QStringLiteral("\n\t\u3000 \r\n")), QStringLiteral("用户中心")},
        {"trimmed", member(QStringLiteral("  阿林 \n")), QStringLiteral("阿林")},
        {"inner blanks stay", member(QStringLiteral(" a  b ")), QStringLiteral("a  b")},
        {"emoji", member(QStringLiteral(" \U0001F431 Kitty ")), QStringLiteral("\U0001F431 Kitty")},
        {"right-to-left", member(QStringLiteral("  مرحبا  ")), QStringLiteral("مرحبا")},
        {"markup stays text", member(QStringLiteral("<b>bold</b>&amp;")), QStringLiteral("<b>bold</b>&amp;")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(SidebarModel::displayName(c.member), c.shown);
    }
}
