#include <gtest/gtest.h>

#include <QDir>
#include <QSettings>
#include <QSignalSpy>

#include "engine/core/WorkerThread.h"
#include "engine/library/AppState.h"
#include "engine/core/EngineText.h"
#include "engine/templates/LocalizedStore.h"
#include "engine/market/MarketInstallRegistry.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

namespace {

const PluginRoot user{PluginRoot::user};
const PluginRoot sys{PluginRoot::system};

class AppStateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
    }

    // Runs refresh() and waits until the state is idle again.
    static void refreshAndWait(AppState& state)
    {
        QSignalSpy finished(&state, &AppState::scanFinished);
        state.refresh();
        while (state.isScanning())
            ASSERT_TRUE(finished.wait(10000));
    }

    // A small library: two libraries, every category, a translated title.
    static void buildLibrary()
    {
        TemplateOptions small;
        small.approxBytes = 20 * 1024;
        makeTemplatePlugin(user, ZFCPluginType::effect, "Glow", small);
        makeTemplatePlugin(user, ZFCPluginType::effect, "Blur 字幕版", small);
        makeTemplatePlugin(user, ZFCPluginType::subtitle, "Lower Third", small);
        makeTemplatePlugin(user, ZFCPluginType::generator, "Clouds", small);
        makeTemplatePlugin(sys, ZFCPluginType::subtitle, "News Title", small);
        makeTemplatePlugin(sys, ZFCPluginType::transitions, "Wipe", small);
        makeTemplatePlugin(sys, ZFCPluginType::effect, "glow pro", small);
    }

    static QStringList names(const QList<Plugin>& plugins)
    {
        QStringList out;
        for (const auto& p : plugins)
            out << p.name;
        return out;
    }

    static const Plugin* find(const AppState& state, const QString& name)
    {
        for (const auto& p : state.plugins()) {
            if (p.name == name)
                return &p;
        }
        return nullptr;
    }
};

} // namespace

TEST_F(AppStateTest, RefreshScansOffTheGuiThreadAndPublishesOnce)
{
    buildLibrary();
    AppState state;
    EXPECT_TRUE(state.plugins().isEmpty());
    EXPECT_FALSE(state.lastScanAt().has_value());

    QSignalSpy scanning(&state, &AppState::isScanningChanged);
    QSignalSpy plugins(&state, &AppState::pluginsChanged);
    const QDateTime before = QDateTime::currentDateTimeUtc();
    state.refresh();
    EXPECT_TRUE(state.isScanning());
    EXPECT_TRUE(state.plugins().isEmpty()); // nothing arrives before the event loop runs
    QSignalSpy finished(&state, &AppState::scanFinished);
    ASSERT_TRUE(finished.wait(10000));
    const QDateTime after = QDateTime::currentDateTimeUtc();

    EXPECT_FALSE(state.isScanning());
    EXPECT_EQ(scanning.count(), 2);
    EXPECT_EQ(plugins.count(), 1);
    EXPECT_EQ(names(state.plugins()),
              (QStringList{"Blur 字幕版", "Glow", "Clouds", "Lower Third", "glow pro", "News Title", "Wipe"}));
    ASSERT_TRUE(state.lastScanAt().has_value());
    EXPECT_GE(*state.lastScanAt(), before);
    EXPECT_LE(*state.lastScanAt(), after);
    EXPECT_TRUE(state.scanErrors().isEmpty());
    EXPECT_EQ(find(state, "Glow")->ozmlVersion, "5.11");
}

TEST_F(AppStateTest, ARefreshDuringAScanRunsOnceAfterIt)
{
    makePlugin(user, ZFCPluginType::effect, "First");
    AppState state;
    QSignalSpy finished(&state, &AppState::scanFinished);
    state.refresh();
    // Arrives while the first scan runs: it must not be lost, nor run twice.
    makePlugin(user, ZFCPluginType::effect, "Added Later");
    state.refresh();
    state.refresh();
    while (finished.count() < 2)
        ASSERT_TRUE(finished.wait(10000));
    EXPECT_FALSE(finished.wait(300));
    EXPECT_EQ(finished.count(), 2);
    EXPECT_FALSE(state.isScanning());
    EXPECT_EQ(names(state.plugins()), (QStringList{"Added Later", "First"}));
}

TEST_F(AppStateTest, FiltersSearchAndCounts)
{
    buildLibrary();
    EXPECT_EQ(LocalizedStore::mark([] {
        Plugin p;
        p.name = "Lower Third";
        p.type = ZFCPluginType::subtitle;
        p.root = user;
        p.path = user.path() + "/Titles.localized/Lower Third";
        return p;
    }(), 4), 0);
    AppState state;
    refreshAndWait(state);

    const struct {
        const char* label;
        LibraryFilter library;
        std::optional<ZFCPluginType> category;
        QString search;
        QStringList shown;
        int countAll;
        int countEffects;
    } cases[] = {
        {"everything", LibraryFilter::allLibraries(), std::nullopt, "",
         {"Blur 字幕版", "Glow", "Clouds", "Lower Third", "glow pro", "News Title", "Wipe"}, 7, 3},
        {"blank search filters nothing", LibraryFilter::allLibraries(), std::nullopt, " \n\t ",
         {"Blur 字幕版", "Glow", "Clouds", "Lower Third", "glow pro", "News Title", "Wipe"}, 7, 3},
        {"name, any case, trimmed", LibraryFilter::allLibraries(), std::nullopt, "  GLOW\n", {"Glow", "glow pro"}, 7, 3},
        {"type name matches every title and names holding it", LibraryFilter::allLibraries(), std::nullopt, "字幕",
         {"Blur 字幕版", "Lower Third", "News Title"}, 7, 3},
        {"library title", LibraryFilter::allLibraries(), std::nullopt, "系统库", {"glow pro", "News Title", "Wipe"}, 7, 3},
        {"paths are not searched", LibraryFilter::allLibraries(), std::nullopt, "Effects.localized", {}, 7, 3},
        {"one library", LibraryFilter::onlyRoot(user), std::nullopt, "", {"Blur 字幕版", "Glow", "Clouds", "Lower Third"},
         4, 2},
        {"library and category", LibraryFilter::onlyRoot(sys), ZFCPluginType::effect, "", {"glow pro"}, 3, 1},
        {"category with search", LibraryFilter::allLibraries(), ZFCPluginType::subtitle, "news", {"News Title"}, 7, 3},
        {"translated only", LibraryFilter::onlyLocalized(), std::nullopt, "", {"Lower Third"}, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        state.setLibraryFilter(c.library);
        state.setCategoryFilter(c.category);
        state.setSearchText(c.search);
        EXPECT_EQ(names(state.filteredPlugins()), c.shown);
        EXPECT_EQ(state.count(std::nullopt), c.countAll);
        EXPECT_EQ(state.count(ZFCPluginType::effect), c.countEffects);
        // Neither filters nor search enter these.
        EXPECT_EQ(state.countForRoot(user), 4);
        EXPECT_EQ(state.countForRoot(sys), 3);
        EXPECT_EQ(state.localizedCount(), 1);
        qint64 total = 0;
        for (const auto& p : state.filteredPlugins())
            total += p.sizeBytes;
        EXPECT_EQ(state.totalSizeText(), EngineText::byteCountText(total));
    }
    EXPECT_TRUE(state.isLocalized(*find(state, "Lower Third")));
    EXPECT_FALSE(state.isLocalized(*find(state, "Glow")));
}

TEST_F(AppStateTest, DerivedValuesChangeOnlyWithTheirInputs)
{
    buildLibrary();
    AppState state;
    refreshAndWait(state);
    QSignalSpy filtered(&state, &AppState::filteredPluginsChanged);
    QSignalSpy counts(&state, &AppState::countsChanged);
    QSignalSpy selected(&state, &AppState::selectedPluginsChanged);

    state.setSearchText("glow");
    EXPECT_EQ(filtered.count(), 1);
    EXPECT_EQ(counts.count(), 0); // search does not enter the counts
    state.setSearchText("glow");
    state.setSearchText("glow "); // another text, the same list
    EXPECT_EQ(filtered.count(), 1);

    const QList<Plugin>* list = &state.filteredPlugins();
    state.setSelection({state.filteredPlugins().first().id()});
    EXPECT_EQ(selected.count(), 1);
    EXPECT_EQ(filtered.count(), 1);
    EXPECT_EQ(&state.filteredPlugins(), list);

    // Observers of an input already see the derived values that follow from it.
    QStringList seenInSlot;
    QObject::connect(&state, &AppState::libraryFilterChanged, &state,
                     [&] { seenInSlot = names(state.filteredPlugins()); });
    state.setLibraryFilter(LibraryFilter::onlyRoot(sys));
    EXPECT_EQ(counts.count(), 1);
    EXPECT_EQ(filtered.count(), 2);
    EXPECT_EQ(seenInSlot, QStringList{"glow pro"});

    // A rescan that changes the shown plug-in but not which rows show: the list is new.
    TemplateOptions newer;
    newer.approxBytes = 20 * 1024;
    newer.ozml = QStringLiteral("5.12");
    makeTemplatePlugin(sys, ZFCPluginType::effect, "glow pro", newer);
    refreshAndWait(state);
    EXPECT_EQ(filtered.count(), 3);
    EXPECT_EQ(state.filteredPlugins().first().ozmlVersion, QStringLiteral("5.12"));
}

TEST_F(AppStateTest, AScanResultIsCompleteWhenObserversHearOfIt)
{
    buildLibrary();
    AppState state;
    int shownWhenIdle = -1;
    QObject::connect(&state, &AppState::isScanningChanged, &state, [&](bool scanning) {
        if (!scanning)
            shownWhenIdle = int(state.filteredPlugins().size());
    });
    refreshAndWait(state);
    EXPECT_EQ(shownWhenIdle, 7);
}

TEST_F(AppStateTest, SelectionKeepsHiddenIdsAndLosesVanishedOnes)
{
    buildLibrary();
    AppState state;
    refreshAndWait(state);
    const QString glow = find(state, "Glow")->id();
    const QString wipe = find(state, "Wipe")->id();
    const QString clouds = find(state, "Clouds")->id();
    state.setSelection({glow, wipe, clouds});
    EXPECT_EQ(names(state.selectedPlugins()), (QStringList{"Glow", "Clouds", "Wipe"}));

    state.setLibraryFilter(LibraryFilter::onlyRoot(user));
    EXPECT_EQ(names(state.selectedPlugins()), (QStringList{"Glow", "Clouds"}));
    EXPECT_TRUE(state.selection().contains(wipe)); // hidden, still selected

    ASSERT_TRUE(QDir(user.path() + "/Generators.localized/Clouds").removeRecursively());
    QSignalSpy selection(&state, &AppState::selectionChanged);
    refreshAndWait(state);
    EXPECT_EQ(selection.count(), 1);
    EXPECT_EQ(state.selection(), (QSet<QString>{glow, wipe}));
    EXPECT_EQ(names(state.selectedPlugins()), QStringList{"Glow"});
}

TEST_F(AppStateTest, ScanKeepsTranslationRecordsOfAnUnreadableLibrary)
{
    buildLibrary();
    const auto recordFor = [](PluginRoot root, ZFCPluginType type, const QString& name, const QString& category) {
        Plugin p;
        p.name = name;
        p.type = type;
        p.root = root;
        p.path = root.path() + "/" + category + "/" + name;
        EXPECT_EQ(LocalizedStore::mark(p, 1), 0);
        return p.path;
    };
    const QString news = recordFor(sys, ZFCPluginType::subtitle, "News Title", "Titles.localized");
    const QString lower = recordFor(user, ZFCPluginType::subtitle, "Lower Third", "Titles.localized");
    const QString gone = recordFor(user, ZFCPluginType::effect, "Deleted Long Ago", "Effects.localized");

    AppState state;
    EXPECT_EQ(state.localizedPaths(), (QSet<QString>{news, lower, gone}));
    refreshAndWait(state);
    EXPECT_EQ(state.localizedPaths(), (QSet<QString>{news, lower}));
    EXPECT_EQ(state.localizedCount(), 2);

    // The system library disappears (unmounted, say): its records stay, the list loses it.
    ASSERT_TRUE(QDir(TestEnv::systemLibrary()).removeRecursively());
    refreshAndWait(state);
    EXPECT_EQ(state.scanErrors().value(sys), QStringLiteral("目录不存在"));
    EXPECT_EQ(state.countForRoot(sys), 0);
    EXPECT_EQ(LocalizedStore::records().keys().size(), 2);
    EXPECT_EQ(state.localizedPaths(), (QSet<QString>{news, lower}));
    EXPECT_EQ(state.localizedCount(), 1); // only listed plug-ins count
}

// The worker makes the shown list for the inputs of the scan's start; whatever the user
// changes before the result lands must hold once it has.
TEST_F(AppStateTest, WhatChangesDuringAScanHoldsWhenItsResultLands)
{
    buildLibrary();
    AppState state;
    refreshAndWait(state);
    const QString glow = find(state, "Glow")->id();
    const QString wipe = find(state, "Wipe")->id();
    const QString clouds = find(state, "Clouds")->id();

    ASSERT_TRUE(QDir(user.path() + "/Generators.localized/Clouds").removeRecursively());
    makePlugin(user, ZFCPluginType::effect, "Glow Max");
    QSignalSpy finished(&state, &AppState::scanFinished);
    state.refresh();
    // Nothing lands before the event loop runs: all of this comes after the scan began.
    state.setSearchText(" GLOW ");
    state.setLibraryFilter(LibraryFilter::onlyRoot(user));
    state.setSelection({glow, wipe, clouds});
    ASSERT_TRUE(finished.wait(10000));

    EXPECT_EQ(names(state.filteredPlugins()), (QStringList{"Glow", "Glow Max"}));
    EXPECT_EQ(state.filteredCount(), 2);
    EXPECT_EQ(state.count(std::nullopt), 4);
    EXPECT_EQ(state.count(ZFCPluginType::effect), 3);
    EXPECT_EQ(state.countForRoot(user), 4);
    EXPECT_EQ(state.countForRoot(sys), 3);
    qint64 total = 0;
    for (const auto& p : state.filteredPlugins())
        total += p.sizeBytes;
    EXPECT_EQ(state.totalSizeText(), EngineText::byteCountText(total));
    // The vanished plug-in leaves the selection; the hidden one stays selected, unshown.
    EXPECT_EQ(state.selection(), (QSet<QString>{glow, wipe}));
    EXPECT_EQ(names(state.selectedPlugins()), QStringList{"Glow"});

    // Only the translated marks change meanwhile: the list follows them too.
    state.setSearchText(QString());
    state.setLibraryFilter(LibraryFilter::onlyLocalized());
    EXPECT_TRUE(state.filteredPlugins().isEmpty());
    state.refresh();
    ASSERT_EQ(LocalizedStore::mark(*find(state, "Glow Max"), 2), 0);
    state.reloadLocalized();
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(names(state.filteredPlugins()), QStringList{"Glow Max"});
    EXPECT_EQ(state.localizedCount(), 1);
    EXPECT_EQ(state.count(std::nullopt), 1);
    EXPECT_TRUE(state.selectedPlugins().isEmpty());
}

TEST_F(AppStateTest, AnUnchangedRescanKeepsTheListAndAGoneStoreDropsItsResult)
{
    buildLibrary();
    AppState state;
    refreshAndWait(state);
    state.setSearchText("glow");
    const QList<Plugin> before = state.plugins();
    const QList<Plugin> shown = state.filteredPlugins();
    QSignalSpy plugins(&state, &AppState::pluginsChanged);
    QSignalSpy filtered(&state, &AppState::filteredPluginsChanged);
    refreshAndWait(state);
    EXPECT_EQ(plugins.count(), 0);
    EXPECT_EQ(filtered.count(), 0);
    EXPECT_EQ(state.plugins(), before);
    EXPECT_EQ(state.filteredPlugins(), shown);
    // Keys after the rescan still find their rows by index.
    state.setSearchText("wipe");
    EXPECT_EQ(names(state.filteredPlugins()), QStringList{"Wipe"});

    // A store gone before its scan lands takes nothing: the record of a plug-in that is no
    // longer there would go once a result was taken.
    Plugin deleted = state.plugins().first();
    deleted.path = user.path() + "/Effects.localized/Deleted Long Ago";
    ASSERT_EQ(LocalizedStore::mark(deleted, 1), 0);
    auto gone = std::make_unique<AppState>();
    gone->refresh();
    gone.reset();
    WorkerThread::waitForAll();
    QCoreApplication::processEvents();
    EXPECT_TRUE(LocalizedStore::records().contains(deleted.path));
    EXPECT_EQ(state.plugins(), before);
}

// The names are searched as one block: a match never runs from one name into the next, and
// every name holding the text is found wherever it stands, first and last included.
TEST_F(AppStateTest, SearchLooksAtEachNameAlone)
{
    buildLibrary();
    makePlugin(user, ZFCPluginType::effect, "Aa Aa Aa");
    makePlugin(sys, ZFCPluginType::transitions, "Zz Glow Glow");
    AppState state;
    refreshAndWait(state);
    const QList<Plugin> all = state.plugins();
    ASSERT_EQ(all.size(), 9);

    const auto expected = [&](const QString& query) {
        QStringList shown;
        for (const Plugin& p : all) {
            if (p.name.toCaseFolded().contains(query) || EngineText::displayName(p.type).contains(query, Qt::CaseInsensitive)
                || p.root.title().contains(query, Qt::CaseInsensitive))
                shown << p.name;
        }
        return shown;
    };
    QStringList queries{"o", "glow", "aa aa", "a", "zz glow glow", "aa aa aa", "ds", QString(QChar(0)),
                        QStringLiteral("glow") + QChar(0)};
    // The end of each name with the start of the next, as they lie one after another.
    for (qsizetype i = 0; i + 1 < all.size(); ++i)
        queries << all[i].name.toCaseFolded().right(2) + all[i + 1].name.toCaseFolded().left(2);
    for (const QString& query : std::as_const(queries)) {
        SCOPED_TRACE(query.toStdString());
        state.setSearchText(query);
        EXPECT_EQ(names(state.filteredPlugins()), expected(query));
    }
    state.setSearchText("AA");
    EXPECT_EQ(names(state.filteredPlugins()), QStringList{"Aa Aa Aa"});
    state.setSearchText("glow g");
    EXPECT_EQ(names(state.filteredPlugins()), QStringList{"Zz Glow Glow"});
}
