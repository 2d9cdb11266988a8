#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QRawFont>
#include <QSettings>
#include <QSignalSpy>
#include <QWidget>

#include "ui/Appearance.h"
#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
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
    };
    const Case cases[] = {
        {"dark", std::nullopt, true},
        {"light", true, false},
        {"system", true, true},
        {"system", false, false},
        {"system", std::nullopt, false}, // unreadable desktop: light
        {nullptr, true, true},           // unset means system
        {"Dark", std::nullopt, false},   // unknown value means system
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode ? c.mode : "(unset)");
        const std::optional<bool> desktop = c.desktop;
        Appearance::instance().setDesktopSchemeReader([desktop] { return desktop; });
        setMode(c.mode);
        EXPECT_EQ(Appearance::instance().isDark(), c.dark);
        // The application palette is rebuilt: dark windows are dark.
        const int lightness = QApplication::palette().color(QPalette::Window).lightness();
        EXPECT_EQ(lightness < 128, c.dark);
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

TEST(SoftShadow, UnderAWidgetIsMadeOnceUntilItsStateChanges)
{
    struct Shape : QWidget
    {
        int paints = 0;
        void paintEvent(QPaintEvent*) override
        {
            ++paints;
            if (isEnabled())
                QPainter(this).fillRect(rect(), Qt::black);
        }
    };
    QWidget parent;
    parent.resize(100, 100);
    auto* shape = new Shape;
    shape->setParent(&parent);
    shape->setGeometry(30, 30, 40, 40);
    parent.show();
    const auto shadowAtCentre = [&] {
        QImage image(parent.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        SoftShadow::paintUnder(painter, *shape, 4, 0, 1);
        painter.end();
        return qAlpha(image.pixel(50, 50));
    };
    const int paints = shape->paints;
    EXPECT_GT(shadowAtCentre(), 200);
    EXPECT_GT(shadowAtCentre(), 200);
    EXPECT_EQ(shape->paints, paints + 1) << "the second paint takes the shadow already made";
    shape->setEnabled(false);
    EXPECT_EQ(shadowAtCentre(), 0) << "a disabled shape draws nothing and casts nothing";
    EXPECT_EQ(shape->paints, paints + 2);
}
