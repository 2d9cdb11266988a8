#include <gtest/gtest.h>

#include <QSettings>

#include "online/ServerConfig.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

TEST(ServerConfig, BaseAddressTakesTheFirstUsableSource)
{
    const QString build = QStringLiteral("https://build.example/");
    const QString fallback = QString::fromLatin1(ServerConfig::defaultBaseURLString);
    const struct {
        const char* name;
        QVariant setting;
        QVariant buildValue;
        QString expected;
    } cases[] = {
        {"setting wins", QString("http://127.0.0.1:9/"), build, "http://127.0.0.1:9/"},
        {"setting kept untrimmed", QString("http://h.example/api/"), build, "http://h.example/api/"},
        {"empty setting", QString(""), build, build},
        {"unparsable setting", QString("http://bad host/"), build, build},
        {"absent setting", QVariant(), build, build},
        {"non-string setting", QVariant(42), build, build},
        {"non-string build value", QVariant(), QVariant(7), fallback},
        {"empty build value", QVariant(), QString(""), fallback},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ServerConfig::resolveBaseURLString(c.setting, c.buildValue), c.expected);
    }
}

TEST(ServerConfig, UrlJoinsThePathOntoTheBase)
{
    TestEnv::reset();
    const struct {
        const char* base;
        const char* path;
        const char* expected;
    } cases[] = {
        {"http://127.0.0.1:8080/", "/v2/market/list", "http://127.0.0.1:8080/v2/market/list"},
        {"http://127.0.0.1:8080", "/v2/verify", "http://127.0.0.1:8080/v2/verify"},
        {"https://h.example/api/", "/v2/x", "https://h.example/api/v2/x"},   // the base path stays
        {"https://h.example/api//", "/v2/x", "https://h.example/api//v2/x"}, // only one "/" removed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        QSettings().setValue("serverBaseURL", QString::fromUtf8(c.base));
        EXPECT_EQ(ServerConfig::url(QString::fromUtf8(c.path)).toString(), QString::fromUtf8(c.expected));
    }
    // A change of the setting reaches the next call without a restart.
    QSettings().setValue("serverBaseURL", "http://127.0.0.2:1/");
    EXPECT_EQ(ServerConfig::baseURL().host(), "127.0.0.2");
    TestEnv::reset();
    EXPECT_TRUE(ServerConfig::baseURL().isValid());
}
