#include <gtest/gtest.h>

#include <QJsonDocument>

#include "engine/templates/CompatTable.h"
#include "engine/templates/VersionNum.h"
#include "support/app/QtPrint.h"

TEST(VersionNum, ComparesDottedVersionsNumerically)
{
    const struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"10.6", "10.6.0", 0},
        {"10.10", "10.9", 1},
        {"1.x", "1.0", 0},
        {"", "0", 0},
        {"2..1", "2.1", 0},
        {".5.", "5", 0},
        {"5.11", "5.9", 1},
        {"-1", "0", -1},
        {"99999999999999999999", "0", 0}, // overflow counts 0
        {"1 ", "1", -1},                  // a space makes the piece 0
        {"+3", "3", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        const auto order = VersionNum::compare(QString::fromUtf8(c.a), QString::fromUtf8(c.b));
        EXPECT_EQ(order < 0 ? -1 : order > 0 ? 1 : 0, c.expected);
    }
    EXPECT_TRUE(VersionNum::isOlder("10.9", "10.10"));
    EXPECT_FALSE(VersionNum::isOlder("10.10", "10.10.0"));
}

namespace {

CompatTable table()
{
    // Stored out of order on purpose: lookups sort by fcp.
    CompatTable t;
    t.rows = {
        {"10.6", "5.6", "5.13", "5.6"},
        {"10.4", "5.4.7", "5.11", ""},
        {"10.5", "5.5", "5.12", "5.5"},
        {"10.4.6", "5.4.6", "5.11", ""},
    };
    return t;
}

} // namespace

TEST(CompatTable, LookupsWorkOnRowsSortedByFcp)
{
    const auto t = table();
    EXPECT_EQ(t.earliest()->fcp, "10.4");
    EXPECT_EQ(t.latest()->fcp, "10.6");
    EXPECT_EQ(t.rowsDescending().first().fcp, "10.6");
    EXPECT_EQ(t.rowForFCP("10.5.0")->motion, "5.5");
    EXPECT_FALSE(t.rowForFCP("10.7"));
    // Two rows share ozml 5.11: the first sorted one wins.
    EXPECT_EQ(t.rowForOZML("5.11")->fcp, "10.4");
    EXPECT_EQ(t.rowForOZML("5.12.5")->fcp, "10.6"); // next higher
    EXPECT_FALSE(t.rowForOZML("6.0"));
    EXPECT_FALSE(t.rowForDisplayVersion(""));
    EXPECT_EQ(t.rowForDisplayVersion("5.5.1")->fcp, "10.6");
    EXPECT_EQ(t.rowForDisplayVersion("9")->fcp, "10.6"); // above every row: the latest
}

TEST(CompatTable, RequirementAndSupportedOzml)
{
    const auto t = table();
    // Older than every release: the earliest, even though a display-version row matches.
    EXPECT_EQ(t.requirement(QString("5.1"), QString("5.6"))->fcp, "10.4");
    EXPECT_EQ(t.requirement(QString("5.12"), std::nullopt)->fcp, "10.5");
    // Newer than every release, no display version: unknown.
    EXPECT_FALSE(t.requirement(QString("6.0"), QString("")));
    EXPECT_EQ(t.requirement(QString("6.0"), QString("7.0"))->fcp, "10.6");
    EXPECT_FALSE(t.requirement(std::nullopt, std::nullopt));
    EXPECT_FALSE(CompatTable{}.requirement(QString("5.1"), QString("5.6")));

    EXPECT_FALSE(t.supportedOzml("10.3"));
    EXPECT_EQ(*t.supportedOzml("10.5.2"), "5.12");
    EXPECT_EQ(*t.supportedOzml("11"), "5.13");
}

TEST(CompatTable, JsonRequiresRowsAndEveryRowKey)
{
    const auto decode = [](const char* json) {
        return CompatTable::fromJson(QJsonDocument::fromJson(json).object());
    };
    const auto ok = decode(R"({"updatedAt":"2024-01-01","rows":[{"fcp":"10.6","motion":"5.6","ozml":"5.13","dv":"5.6","x":1}]})");
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok->updatedAt, "2024-01-01");
    EXPECT_EQ(ok->rows.size(), 1);
    EXPECT_FALSE(decode(R"({"updatedAt":"x"})"));
    EXPECT_FALSE(decode(R"({"rows":[{"fcp":"10.6","motion":"5.6","ozml":"5.13"}]})"));
    EXPECT_FALSE(decode(R"({"rows":[{"fcp":10.6,"motion":"5.6","ozml":"5.13","dv":""}]})"));

    const auto roundTrip = CompatTable::fromJson(ok->toJson());
    ASSERT_TRUE(roundTrip);
    EXPECT_EQ(roundTrip->rows, ok->rows);
}
