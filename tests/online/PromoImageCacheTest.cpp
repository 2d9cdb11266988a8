#include <gtest/gtest.h>

#include <memory>

#include <QTest>

#include "online/PromoImageCache.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

// The cache lives for the whole run: each test asks for addresses of its own (a query
// the stand-in ignores) so that nothing is held from an earlier test.
class PromoImageCacheTest : public StandinTest
{
protected:
    QString picture(const char* name, const char* tag)
    {
        return standin().baseUrl() + "promo/" + name + (QString(name).contains('?') ? "&t=" : "?t=")
            + QString::fromLatin1(tag);
    }

    PromoImage load(const QString& url)
    {
        std::optional<PromoImage> result;
        PromoImageCache::shared().load(url, &context, [&](const PromoImage& p) { result = p; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        return result.value_or(PromoImage());
    }

    int requestsFor(const QString& url) { return int(standin().requests(QUrl(url).path()).size()); }

    QObject context;
};

} // namespace

TEST_F(PromoImageCacheTest, ConcurrentCallersShareOneFetchAndAHeldPictureNeedsNone)
{
    PromoImageCache& cache = PromoImageCache::shared();
    const QString url = picture("slow.png?ms=300", "shared");
    std::optional<PromoImage> first;
    std::optional<PromoImage> second;
    cache.load(url, &context, [&](const PromoImage& p) { first = p; });
    cache.load(url, &context, [&](const PromoImage& p) { second = p; });
    EXPECT_TRUE(cache.isFetching(url));
    ASSERT_TRUE(QTest::qWaitFor([&] { return first && second; }, 30000));
    EXPECT_FALSE(first->isNull());
    EXPECT_EQ(first->image, second->image);
    EXPECT_EQ(first->size.width(), first->size.height());

    EXPECT_EQ(load(url).image, first->image);
    ASSERT_TRUE(cache.held(url).has_value());
    EXPECT_EQ(requestsFor(url), 1);
    EXPECT_FALSE(cache.isFetching(url));
}

TEST_F(PromoImageCacheTest, OnlyRealPicturesAreHeld)
{
    standin().script("/promo/banner.png", {{"http", 500}});
    struct Case {
        const char* label;
        QString url;
        QSize size; // invalid: nothing
        int requestsAfterTwoLoads;
    };
    const Case cases[] = {
        {"an HTML page named .png is fetched again", picture("broken.png", "a"), QSize(), 2},
        {"a picture of one pixel is held", picture("pixel.png", "a"), QSize(1, 1), 1},
        {"a picture sent with an error status is still held", picture("banner.png", "a"),
         QSize(1200, 200), 1},
        {"not a URL", QStringLiteral("not a url"), QSize(), 0},
        {"not a web address", QStringLiteral("file:///etc/passwd"), QSize(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (int i = 0; i < 2; ++i) {
            const PromoImage p = load(c.url);
            EXPECT_EQ(p.isNull(), !c.size.isValid());
            if (c.size.isValid()) {
                EXPECT_EQ(p.size, c.size);
            }
        }
        EXPECT_EQ(PromoImageCache::shared().held(c.url).has_value(), c.size.isValid());
        EXPECT_FALSE(PromoImageCache::shared().isFetching(c.url));
        if (c.requestsAfterTwoLoads > 0) {
            EXPECT_EQ(requestsFor(c.url), c.requestsAfterTwoLoads);
        }
    }
}

TEST_F(PromoImageCacheTest, AGoneCallerHearsNothingButThePictureIsStillHeld)
{
    const QString url = picture("slow.png?ms=200", "gone");
    bool called = false;
    {
        auto owner = std::make_unique<QObject>();
        PromoImageCache::shared().load(url, owner.get(), [&](const PromoImage&) { called = true; });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return PromoImageCache::shared().held(url).has_value(); }, 30000));
    EXPECT_FALSE(called);
}
