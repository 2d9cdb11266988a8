#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QPainter>
#include <QRawFont>
#include <QSettings>
#include <QSignalSpy>

#include "ui/Appearance.h"
#include "ui/AppLogo.h"
#include "ui/CountBadge.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "library/CategoryGlyph.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

// Every symbol name the views use.
const char* const kSymbolsInUse[] = {
    "archivebox.fill", "arrow.clockwise", "arrow.down.circle", "arrow.down.circle.fill",
    "arrow.down.to.line", "arrow.right", "arrow.up.arrow.down.square", "arrow.up.right",
    "arrow.uturn.backward", "bag", "bag.fill", "character.book.closed",
    "character.book.closed.fill", "character.textbox", "checkmark.circle.fill",
    "checkmark.seal.fill", "chevron.left", "chevron.right", "circle", "circle.lefthalf.filled",
    "creditcard.fill", "doc.zipper", "exclamationmark.circle.fill",
    "exclamationmark.triangle.fill", "externaldrive.fill", "flame.fill", "folder.fill",
    "gearshape.fill", "gift.fill", "heart", "heart.fill", "heart.slash", "info.circle",
    "internaldrive", "largecircle.fill.circle", "lightbulb.fill",
    "line.3.horizontal.decrease.circle", "list.bullet", "lock.fill", "lock.shield",
    "magnifyingglass", "megaphone.fill", "moon", "paintpalette", "pause.fill",
    "person.crop.circle", "person.crop.circle.badge.exclamationmark", "person.fill", "pin.fill",
    "play.fill", "shield.lefthalf.filled", "shippingbox", "sparkles", "speaker.slash.fill",
    "speaker.wave.2.fill", "square.and.arrow.down.fill", "square.grid.2x2",
    "square.grid.2x2.fill", "square.stack.3d.down.right", "square.stack.3d.up.fill", "sun.max",
    "text.alignleft", "text.badge.checkmark", "trash.fill", "wifi.exclamationmark", "xmark",
    "xmark.circle.fill", "xmark.octagon.fill",
};

void setMode(const char* mode)
{
    if (mode)
        QSettings().setValue(Appearance::settingsKey, QString::fromLatin1(mode));
    else
        QSettings().remove(Appearance::settingsKey);
    Appearance::instance().apply();
}

class ThemeTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        Appearance::instance().setDesktopSchemeReader({});
        setMode("light");
    }
};

} // namespace

TEST_F(ThemeTest, AppearanceFollowsTheSetting)
{
    struct Case {
        const char* mode;
        std::optional<bool> desktop;
        bool dark;
        QRgb brand;
    };
    const Case cases[] = {
        {"dark", std::nullopt, true, 0x4CBCEE},
        {"light", true, false, 0x0A7CC0},
        {"system", true, true, 0x4CBCEE},
        {"system", false, false, 0x0A7CC0},
        {"system", std::nullopt, false, 0x0A7CC0}, // unreadable desktop: light
        {nullptr, true, true, 0x4CBCEE},           // unset means system
        {"Dark", std::nullopt, false, 0x0A7CC0},   // unknown value means system
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode ? c.mode : "(unset)");
        const std::optional<bool> desktop = c.desktop;
        Appearance::instance().setDesktopSchemeReader([desktop] { return desktop; });
        setMode(c.mode);
        EXPECT_EQ(Appearance::instance().isDark(), c.dark);
        EXPECT_EQ(Theme::accent().rgb(), QColor(c.brand).rgb());
        // The application palette is rebuilt: dark windows are dark.
        const int lightness = QApplication::palette().color(QPalette::Window).lightness();
        EXPECT_EQ(lightness < 128, c.dark);
        EXPECT_EQ(Theme::sidebarBgTop().rgb(), QColor(c.dark ? 0x323336 : 0xF8F8FA).rgb());
    }
}

TEST_F(ThemeTest, ChangeIsAnnouncedOnce)
{
    setMode("light");
    QSignalSpy spy(&Appearance::instance(), &Appearance::changed);
    setMode("dark");
    setMode("dark");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());
}

TEST(Fonts, PointsComeOutAsPixels)
{
    struct Case {
        const char* name;
        QFont font;
        int pixels;
        QFont::Weight weight;
    };
    const Case cases[] = {
        {"display", Theme::displayFont(), 19, QFont::DemiBold},
        {"pageTitle", Theme::pageTitleFont(), 16, QFont::DemiBold},
        {"body", Theme::bodyFont(), 14, QFont::Normal},
        {"bodyStrong", Theme::bodyStrongFont(), 14, QFont::Medium},
        {"callout", Theme::calloutFont(), 13, QFont::Normal},
        {"tiny", Theme::tinyFont(), 12, QFont::Normal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(QFontInfo(c.font).pixelSize(), c.pixels);
        EXPECT_EQ(c.font.weight(), c.weight);
        EXPECT_TRUE(c.font.families().contains(Theme::cjkFamily));
    }
}

TEST(SymbolIcon, EverySymbolInUseHasAGlyphInTheEmbeddedFont)
{
    ASSERT_FALSE(SymbolIcon::fontFamily().isEmpty()) << "icon font resource missing";
    const QRawFont raw = QRawFont::fromFont(SymbolIcon::font(20));
    ASSERT_TRUE(raw.isValid());
    EXPECT_EQ(raw.familyName(), SymbolIcon::fontFamily());
    for (const char* name : kSymbolsInUse) {
        SCOPED_TRACE(name);
        const auto cp = SymbolIcon::codepoint(QString::fromLatin1(name));
        ASSERT_TRUE(cp.has_value());
        EXPECT_TRUE(raw.supportsCharacter(*cp));
        // The glyph draws something.
        const QImage img = SymbolIcon::pixmap(QString::fromLatin1(name), 20, Qt::black).toImage();
        bool inked = false;
        for (int y = 0; y < img.height() && !inked; ++y)
            for (int x = 0; x < img.width() && !inked; ++x)
                inked = qAlpha(img.pixel(x, y)) > 0;
        EXPECT_TRUE(inked);
    }
    // Lookups rely on the table being sorted without repeats.
    const auto table = SymbolIcon::table();
    for (size_t i = 1; i < table.size(); ++i)
        EXPECT_LT(qstrcmp(table[i - 1].symbol, table[i].symbol), 0) << table[i].symbol;
    EXPECT_FALSE(SymbolIcon::codepoint(u"no.such.symbol").has_value());
    EXPECT_TRUE(SymbolIcon::glyph(u"no.such.symbol").isEmpty());
}

TEST(CategoryGlyph, PathsFollowTheirRectangle)
{
    // Generator in 100 × 50: the frame is a rounded rectangle from (4, 2) to (96, 48).
    const QPainterPath generator = CategoryGlyph::path(ZFCPluginType::generator, QRectF(0, 0, 100, 50));
    const QRectF bounds = generator.boundingRect();
    EXPECT_NEAR(bounds.left(), 4, 1e-9);
    EXPECT_NEAR(bounds.top(), 2, 1e-9);
    EXPECT_NEAR(bounds.right(), 96, 1e-9);
    EXPECT_NEAR(bounds.bottom(), 48, 1e-9);
    // Corner radius 11: the corner point itself lies outside, 11 in along the edge lies on it.
    EXPECT_FALSE(generator.contains(QPointF(4.5, 2.5)));
    EXPECT_TRUE(generator.contains(QPointF(4 + 11, 2.5)));

    struct Case {
        ZFCPluginType type;
        QRectF expectedBounds;
    };
    const Case cases[] = {
        {ZFCPluginType::effect, QRectF(1, 4, 98, 90)},
        {ZFCPluginType::subtitle, QRectF(5, 4, 90, 92)},
        {ZFCPluginType::transitions, QRectF(5, 13, 90, 74)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type.rawValue()));
        const QRectF b = CategoryGlyph::path(c.type, QRectF(0, 0, 100, 100)).boundingRect();
        EXPECT_NEAR(b.left(), c.expectedBounds.left(), 1e-6);
        EXPECT_NEAR(b.top(), c.expectedBounds.top(), 1e-6);
        EXPECT_NEAR(b.right(), c.expectedBounds.right(), 1e-6);
        EXPECT_NEAR(b.bottom(), c.expectedBounds.bottom(), 1e-6);
    }
}

TEST(SharedViews, LogoFallbackAndCountBadge)
{
    // Without a shipped logo the drawn one: transparent rounded corners (radius 7.2 at 40),
    // the red square left of centre.
    QImage logo(40, 40, QImage::Format_ARGB32_Premultiplied);
    logo.fill(Qt::transparent);
    {
        QPainter p(&logo);
        AppLogo::paintFallback(p, QRectF(0, 0, 40, 40));
    }
    EXPECT_EQ(qAlpha(logo.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(logo.pixel(3, 20)), 255); // the edge between the corners is filled
    EXPECT_EQ(QColor(logo.pixel(17, 20)).name(), QStringLiteral("#e53329"));
    EXPECT_EQ(QColor(logo.pixel(25, 30)).name(), QStringLiteral("#ffffff"));

    CountBadge badge(7);
    badge.resize(badge.sizeHint());
    EXPECT_GE(badge.width(), CountBadge::kMinWidth);
    const QImage img = badge.grab().toImage();
    int first = img.width();
    int last = -1;
    const QRgb background = img.pixel(0, 0);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != background) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    ASSERT_GE(last, 0);
    EXPECT_GE(last, img.width() - 3 * img.devicePixelRatio()); // digit at the trailing edge
    EXPECT_GT(first, img.width() / 3);
}
