#include <memory>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTest>

#include "CompatBundledData.h"
#include "engine/core/AppPaths.h"
#include "engine/templates/CompatBundled.h"
#include "engine/templates/LocalizationGlossary.h"
#include "engine/templates/VersionNum.h"
#include "online/CompatService.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"

namespace {

QString cachePath()
{
    return AppPaths::applicationFolder() + "/compat-cache.json";
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray plist(const QByteArray& dictBody)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
        + dictBody + "\n</dict>\n</plist>\n";
}

// No Final Cut Pro: bundles that do not exist.
CompatService::Options isolated()
{
    CompatService::Options options;
    options.finalCutBundles = {TestEnv::root() + "/Nowhere/Final Cut Pro.app"};
    options.fetchTimeoutMs = 20000;
    return options;
}

QJsonObject row(const char* fcp, const char* motion, const char* ozml, const char* dv)
{
    return {{"fcp", fcp}, {"motion", motion}, {"ozml", ozml}, {"dv", dv}};
}

struct Plugin
{
    std::optional<QString> ozmlVersion;
    std::optional<QString> motionVersion;
};

} // namespace

TEST(CompatBundled, BuiltInTableOpensAndTamperingGivesTheEmptyTable)
{
    const CompatTable& table = CompatBundled::table();
    ASSERT_GE(table.rows.size(), 5);
    EXPECT_TRUE(table.updatedAt);
    EXPECT_TRUE(table.rows.contains(CompatRow{"10.4.10", "5.4.7", "5.11", ""}));
    EXPECT_TRUE(table.rows.contains(CompatRow{"10.6", "5.6", "5.13", "5.6"}));
    // Versions grow together: a newer release never writes an older ozml.
    const auto sorted = table.sortedRows();
    for (qsizetype i = 1; i < sorted.size(); ++i) {
        SCOPED_TRACE(sorted[i].fcp.toStdString());
        EXPECT_FALSE(VersionNum::isOlder(sorted[i].ozml, sorted[i - 1].ozml));
        EXPECT_TRUE(VersionNum::isOlder(sorted[i - 1].motion, sorted[i].motion));
    }

    // One byte changed in the nonce, the ciphertext or the tag, a cut box or text that is
    // not base64: the empty table, never a crash.
    const QByteArray box = QByteArray::fromBase64(CompatBundledData::sealedBase64);
    EXPECT_EQ(CompatBundled::open(box.toBase64()).rows, table.rows);
    for (const qsizetype at : {qsizetype(0), qsizetype(11), qsizetype(40), box.size() - 1}) {
        SCOPED_TRACE(at);
        QByteArray changed = box;
        changed[at] = char(changed[at] ^ 0x01);
        EXPECT_TRUE(CompatBundled::open(changed.toBase64()).rows.isEmpty());
    }
    EXPECT_TRUE(CompatBundled::open(box.left(28).toBase64()).rows.isEmpty());
    EXPECT_TRUE(CompatBundled::open("not base64 at all!").rows.isEmpty());
    EXPECT_TRUE(CompatBundled::open("").rows.isEmpty());
}

TEST(CompatService, StartsFromTheBuiltInTableThenTakesAUsableCache)
{
    const QJsonObject fromCache{{"updatedAt", "cache-day"},
                                {"rows", QJsonArray{row("12.0", "6.0", "6.0", "6.0")}},
                                {"glossary", QJsonObject{{"Cache   Term", "缓存词"}}}};
    const struct {
        const char* name;
        std::optional<QByteArray> cache;
        bool taken;
    } cases[] = {
        {"no cache", std::nullopt, false},
        {"usable cache", QJsonDocument(fromCache).toJson(), true},
        {"cache without rows", R"({"updatedAt":"x","glossary":{"a":"b"}})", false},
        {"cache with empty rows", R"({"rows":[],"glossary":{"a":"b"}})", false},
        {"damaged cache", "{\"rows\":[", false},
        {"row missing a key", R"({"rows":[{"fcp":"12","motion":"6","ozml":"6"}]})", false},
        {"glossary of wrong type", R"({"rows":[{"fcp":"12","motion":"6","ozml":"6","dv":""}],"glossary":{"a":1}})", false},
        {"not an object", "[1,2,3]", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        LocalizationGlossary::merge({});
        if (c.cache)
            writeFile(cachePath(), *c.cache);
        CompatService service(isolated());
        EXPECT_EQ(service.installedFCP(), std::nullopt);
        if (c.taken) {
            EXPECT_EQ(service.source(), CompatService::Source::cache);
            EXPECT_EQ(service.updatedAt(), QString("cache-day"));
            ASSERT_EQ(service.table().rows.size(), 1);
            EXPECT_EQ(LocalizationGlossary::translate("cache term"), QString("缓存词"));
        } else {
            EXPECT_EQ(service.source(), CompatService::Source::bundled);
            EXPECT_EQ(service.table().rows, CompatBundled::table().rows);
            EXPECT_EQ(service.updatedAt(), CompatBundled::table().updatedAt);
            EXPECT_EQ(LocalizationGlossary::translate("a"), std::nullopt);
        }
    }
}

TEST(CompatService, LabelsPluginsAgainstTheInstalledRelease)
{
    TestEnv::reset();
    writeFile(cachePath(), QJsonDocument(QJsonObject{{"rows", QJsonArray{
        row("10.4.10", "5.4.7", "5.11", ""), row("10.5", "5.5", "5.12", ""),
        row("10.6", "5.6", "5.13", "5.6"), row("10.7", "5.7", "5.14", "5.7")}}}).toJson());
    const QString bundle = TestEnv::root() + "/Applications/Final Cut Pro.app";
    writeFile(bundle + "/Contents/Info.plist",
              plist("<key>CFBundleName</key><string>Final Cut Pro</string>"
                    "<key>LSEnvironment</key><dict><key>CFBundleShortVersionString</key><string>1.0</string></dict>"
                    "<key>CFBundleShortVersionString</key><string>10.6</string>"));
    CompatService::Options withFcp = isolated();
    withFcp.finalCutBundles = {bundle};
    CompatService installed(withFcp);
    ASSERT_EQ(installed.installedFCP(), QString("10.6"));
    CompatService none(isolated());

    const struct {
        std::optional<QString> ozml;
        std::optional<QString> dv;
        const char* withFcp;
        const char* withoutFcp;
    } cases[] = {
        {QString("5.11"), QString(""), "兼容 FCPX 10.4.10+", "兼容 FCPX 10.4.10+"},
        {QString("5.14"), std::nullopt, "需 FCPX 10.7+", "兼容 FCPX 10.7+"},
        {QString("5.1"), QString("5.7"), "兼容 FCPX 10.4.10+", "兼容 FCPX 10.4.10+"}, // older than every row
        {QString("6.0"), QString(""), "版本未知", "版本未知"},           // newer than every row
        {QString("6.0"), QString("9.0"), "需 FCPX 10.7+", "兼容 FCPX 10.7+"}, // display version above all: latest
        {std::nullopt, std::nullopt, "版本未知", "版本未知"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ozml.value_or("-").toStdString() + "/" + c.dv.value_or("-").toStdString());
        const Plugin plugin{c.ozml, c.dv};
        EXPECT_EQ(installed.compatibilityText(plugin), QString::fromUtf8(c.withFcp));
        EXPECT_EQ(installed.needsUpgrade(plugin), QString::fromUtf8(c.withFcp).startsWith("需"));
        EXPECT_EQ(none.compatibilityText(plugin), QString::fromUtf8(c.withoutFcp));
        EXPECT_FALSE(none.needsUpgrade(plugin));
    }
}

TEST(CompatService, DetectsTheVersionFromTheFirstUsableBundle)
{
    TestEnv::reset();
    const QString first = TestEnv::root() + "/A.app";
    const QString second = TestEnv::root() + "/B.app";
    const struct {
        const char* name;
        std::optional<QByteArray> firstPlist;
        std::optional<QString> expected;
    } cases[] = {
        {"first missing", std::nullopt, QString("11.1")},
        {"first not a plist", "garbage <", QString("11.1")},
        {"first an array", "<plist><array><string>10.0</string></array></plist>", QString("11.1")},
        {"first version not a string", plist("<key>CFBundleShortVersionString</key><integer>10</integer>"), QString("11.1")},
        {"first usable", plist("<key>CFBundleShortVersionString</key><string>10.8</string>"), QString("10.8")},
    };
    writeFile(second + "/Contents/Info.plist", plist("<key>CFBundleShortVersionString</key><string>11.1</string>"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(first + "/Contents/Info.plist");
        if (c.firstPlist)
            writeFile(first + "/Contents/Info.plist", *c.firstPlist);
        EXPECT_EQ(CompatService::detectFinalCutVersion({first, second}), c.expected);
    }
    EXPECT_EQ(CompatService::detectFinalCutVersion({first + "x"}), std::nullopt);
}

namespace {

class CompatServiceLoad : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        LocalizationGlossary::merge({});
    }

    static void loadAndWait(CompatService& service)
    {
        bool finished = false;
        const auto connection = QObject::connect(&service, &CompatService::loadFinished, &service,
                                                 [&] { finished = true; });
        service.load();
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished; }, 30000));
        QObject::disconnect(connection);
    }
};

} // namespace

TEST_F(CompatServiceLoad, TakesTheFetchedDocumentWithItsGlossaryAndCachesIt)
{
    CompatService service(isolated());
    loadAndWait(service);
    EXPECT_EQ(service.source(), CompatService::Source::remote);
    EXPECT_EQ(service.updatedAt(), QString("2025-03-01"));
    EXPECT_TRUE(service.table().rows.contains(CompatRow{"11.1", "5.10", "5.13", "5.10"}));
    EXPECT_EQ(LocalizationGlossary::translate("Glow  Radius"), QString("光晕半径"));
    EXPECT_EQ(standin().requests("/v2/compat.json").size(), 1);

    // The next start takes the cache, glossary included.
    LocalizationGlossary::merge({});
    CompatService next(isolated());
    EXPECT_EQ(next.source(), CompatService::Source::cache);
    EXPECT_EQ(next.table().rows, service.table().rows);
    EXPECT_EQ(LocalizationGlossary::translate("glow radius"), QString("光晕半径"));
}

TEST_F(CompatServiceLoad, ADocumentAsLargeAsTheFetchAcceptsIsCachedAndReadBack)
{
    // About 5 MB, most of it glossary: above the old cache cap, below the fetch cap.
    QByteArray document = R"({"updatedAt":"big","rows":[{"fcp":"11.1","motion":"5.10","ozml":"5.13","dv":"5.10"}],"glossary":{)";
    constexpr int terms = 80000;
    for (int i = 0; i < terms; ++i) {
        if (i > 0)
            document += ',';
        document += QStringLiteral("\"glossary term %1 \\\"quoted\\\"\":\"术语 %1 译文\"").arg(i, 6, 10, QChar('0')).toUtf8();
    }
    document += "}}";
    ASSERT_GT(document.size(), 4 * 1024 * 1024);
    standin().script("/v2/compat.json", {{"body", QString::fromUtf8(document)}});
    CompatService service(isolated());
    loadAndWait(service);
    ASSERT_EQ(service.updatedAt(), QString("big"));

    LocalizationGlossary::merge({});
    CompatService next(isolated());
    EXPECT_EQ(next.source(), CompatService::Source::cache);
    EXPECT_EQ(LocalizationGlossary::translate("glossary term 079999 \"quoted\""), QString("术语 079999 译文"));
}

TEST_F(CompatServiceLoad, KeepsTheTableWhenTheReplyIsUnusable)
{
    const struct {
        const char* name;
        QJsonObject document; // the script of the route, empty: server down
    } cases[] = {
        {"empty rows with a glossary", {{"reply", QJsonObject{{"rows", QJsonArray{}}, {"glossary", QJsonObject{{"x", "叉"}}}}}}},
        {"no rows", {{"reply", QJsonObject{{"updatedAt", "y"}, {"glossary", QJsonObject{{"x", "叉"}}}}}}},
        {"HTML", {{"http", 500}, {"body", "<html>error</html>"}}},
        {"rows of wrong type", {{"reply", QJsonObject{{"rows", "many"}}}}},
        {"slow", {{"delayMs", 60000}}},
        {"huge", {{"padBytes", 9 * 1024 * 1024}}},
        {"server down", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.document.isEmpty())
            QSettings().setValue("serverBaseURL", QStringLiteral("http://127.0.0.1:%1/").arg(StandinProcess::closedPort()));
        else
            standin().script("/v2/compat.json", c.document);
        CompatService::Options options = isolated();
        if (QByteArray(c.name) == "slow")
            options.fetchTimeoutMs = 1500;
        CompatService service(options);
        loadAndWait(service);
        EXPECT_EQ(service.source(), CompatService::Source::bundled);
        EXPECT_EQ(service.table().rows, CompatBundled::table().rows);
        EXPECT_EQ(LocalizationGlossary::translate("x"), std::nullopt);
        EXPECT_FALSE(QFile::exists(cachePath()));
    }
}

TEST_F(CompatServiceLoad, ResolvesAgainstTheBaseAndTheNewestLoadWins)
{
    // A base without a trailing "/" loses its last segment; with one, it keeps it.
    QSettings().setValue("serverBaseURL", standin().baseUrl() + "api");
    CompatService service(isolated());
    loadAndWait(service);
    EXPECT_EQ(standin().requests().last().toObject().value("path").toString(), "/v2/compat.json");
    QSettings().setValue("serverBaseURL", standin().baseUrl() + "api/");
    loadAndWait(service);
    EXPECT_EQ(standin().requests().last().toObject().value("path").toString(), "/api/v2/compat.json");

    // A slow older reply arriving after a newer one is dropped.
    standin().useAsServer();
    standin().script("/v2/compat.json", {{"delayMs", 500},
        {"reply", QJsonObject{{"updatedAt", "old"}, {"rows", QJsonArray{row("9.0", "4.0", "4.0", "")}}}}});
    int finished = 0;
    QObject::connect(&service, &CompatService::loadFinished, &service, [&] { ++finished; });
    const auto requests = standin().requests().size();
    service.load();
    // The slow reply must meet the first load: the second starts once the first arrived.
    ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests().size() > requests; }, 30000));
    service.load();
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished == 1; }, 30000));
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(service.updatedAt(), QString("2025-03-01"));
}
