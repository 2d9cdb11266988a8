#include <gtest/gtest.h>

#include "BuildInfo.h"
#include "online/AppVersion.h"
#include "online/SafeLink.h"
#include "support/app/QtPrint.h"

TEST(AppVersion, PartsReadEachDottedPiece)
{
    struct Case {
        QString text;
        QList<qint64> parts;
    };
    const Case cases[] = {
        {"1..2", {1, 2}}, {"v1.2", {0, 2}}, {"1 .2", {1, 2}}, {"", {}}, {".3.", {3}},
        {"+4.-5", {4, -5}}, {"2.0-beta", {2, 0}}, {"2.1-rc1", {2, 1}}, {"-", {0}}, {"1.99999999999999999999", {1, 0}},
        {"1.\u0661", {1, 0}}, {"1.+", {1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(AppVersion::parts(c.text), c.parts);
    }
}

TEST(AppVersion, IsNewerComparesComponentByComponent)
{
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    };
    const Case cases[] = {
        {"1.10", "1.9", true}, {"1.2", "1.2.0", false}, {"1.2.0", "1.2", false},
        {"1.2.1", "1.2", true}, {"2.0-beta", "2.0", false}, {"2.1-beta", "2.0", true},
        {"1.3", "0.0.0", true}, {"0.9", "1.0.0", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(AppVersion::isNewer(QString::fromLatin1(c.a), QString::fromLatin1(c.b)), c.newer);
    }
}

TEST(AppVersion, ComesFromTheBuild)
{
    EXPECT_EQ(AppVersion::current(), QString::fromUtf8(BuildInfo::version));
    EXPECT_EQ(AppVersion::display("1.4.2", "45"), "1.4.2（Build 45）");
    EXPECT_EQ(AppVersion::display("1.4.2", ""), "1.4.2");
    EXPECT_TRUE(AppVersion::display().startsWith(AppVersion::current()));
}

TEST(SafeLink, OpensOnlyWebAndMailAddresses)
{
    struct Case {
        std::optional<QString> text;
        bool allowed;
    };
    const Case cases[] = {
        {QStringLiteral(" https://x.example/a \n"), true},
        {QStringLiteral("HTTP://x.example"), true},
        {QStringLiteral("MAILTO:help@x.example"), true},
        {QStringLiteral("javascript:alert(1)"), false},
        {QStringLiteral("file:///etc/passwd"), false},
        {QStringLiteral("ftp://x.example/f"), false},
        {QStringLiteral("loomwork://open"), false},
        {QStringLiteral("x.example/a"), false},
        {QStringLiteral("   "), false},
        {std::nullopt, false},
    };
    QList<QUrl> opened;
    const SafeLink::Opener previous =
        SafeLink::setOpener([&](const QUrl& url) { opened.append(url); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)").toStdString());
        const std::optional<QUrl> url = SafeLink::url(c.text);
        EXPECT_EQ(url.has_value(), c.allowed);
        opened.clear();
        SafeLink::open(url);
        EXPECT_EQ(opened.size(), c.allowed ? 1 : 0);
    }
    opened.clear();
    SafeLink::open(QUrl(QStringLiteral("file:///etc/passwd")));
    EXPECT_TRUE(opened.isEmpty()) << "open() checks on its own too";
    SafeLink::setOpener(previous);
}
