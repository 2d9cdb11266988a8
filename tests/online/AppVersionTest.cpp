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
        QString opened; // empty: refused
    };
    const Case cases[] = {
        {QStringLiteral(" https://x.example/a?b=1 \n"), "https://x.example/a?b=1"},
        {QStringLiteral("HTTP://x.example"), "http://x.example"},
        {QStringLiteral("MAILTO:help@x.example"), "mailto:help@x.example"},
        // A mail program would attach the named file, or fill in the body.
        {QStringLiteral("mailto:help@x.example?attach=/etc/passwd&body=x#y"), "mailto:help@x.example"},
        {QStringLiteral("mailto:?attach=/etc/passwd"), ""},
        {QStringLiteral("mailto:a@x.example%3Fattach=/etc/passwd"), ""},
        // Every recipient an address: no option for the mail program, no header smuggled in.
        {QStringLiteral("mailto:a@x.example,b.c@y.example"), "mailto:a@x.example,b.c@y.example"},
        {QStringLiteral("mailto:-oProxyCommand=x@x.example"), ""},
        {QStringLiteral("mailto:a@x.example%0ABcc:b@y.example"), ""},
        {QStringLiteral("mailto:a@x.example%0D"), ""},
        {QStringLiteral("mailto:a@x.example,-b@y.example"), ""},
        {QStringLiteral("mailto:help"), ""},
        {QStringLiteral("mailto:@x.example"), ""},
        {QStringLiteral("mailto:a@"), ""},
        {QStringLiteral("mailto:a@-x.example"), ""},
        {QStringLiteral("mailto:a@b@x.example"), ""},
        {QStringLiteral("mailto:a@x..example"), ""},
        {QStringLiteral("mailto:a%20b@x.example"), ""},
        {QStringLiteral("https:///nohost"), ""},
        {QStringLiteral("javascript:alert(1)"), ""},
        {QStringLiteral("file:///etc/passwd"), ""},
        {QStringLiteral("ftp://x.example/f"), ""},
        {QStringLiteral("loomwork://open"), ""},
        {QStringLiteral("x.example/a"), ""},
        {QStringLiteral("   "), ""},
        {std::nullopt, ""},
    };
    QList<QUrl> opened;
    const SafeLink::Opener previous =
        SafeLink::setOpener([&](const QUrl& url) { opened.append(url); });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)").toStdString());
        const std::optional<QUrl> url = SafeLink::url(c.text);
        EXPECT_EQ(url.has_value(), !c.opened.isEmpty());
        opened.clear();
        SafeLink::open(url);
        EXPECT_EQ(opened, c.opened.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl(c.opened)});
    }
    opened.clear();
    SafeLink::open(QUrl(QStringLiteral("file:///etc/passwd")));
    SafeLink::open(QUrl(QStringLiteral("mailto:a@x.example?attach=/etc/passwd")));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("mailto:a@x.example")}) << "open() checks on its own too";
    SafeLink::setOpener(previous);
}
