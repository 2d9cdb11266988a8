#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTest>
#include <QVBoxLayout>

#include "ui/Appearance.h"
#include "ui/ScrollbarTuning.h"
#include "ui/ThinScrollBar.h"
#include "ui/ThinScrollMetrics.h"
#include "support/app/QtPrint.h"

TEST(ThinScrollMetrics, KnobGeometry)
{
    struct Case {
        const char* name;
        qreal visible, total, barHeight;
        bool exists;
        qreal knobLength, travel;
    };
    const Case cases[] = {
        {"long list", 500, 10000, 500, true, 34, 466},
        {"half the content visible", 500, 1000, 500, true, 250, 250},
        {"half a point to scroll", 500, 500.5, 500, false, 0, 0},
        {"exactly one point to scroll", 500, 501, 500, false, 0, 0},
        {"just over a point", 500, 501.5, 500, true, 500 / 501.5 * 500, 500 - 500 / 501.5 * 500},
        {"bar 20 high", 500, 10000, 20, false, 0, 0},
        {"bar 21 high: knob longer than the bar", 500, 10000, 21, true, 34, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto m = ThinScrollMetrics::make(c.visible, c.total, c.barHeight);
        ASSERT_EQ(m.has_value(), c.exists);
        if (!m)
            continue;
        EXPECT_NEAR(m->knobLength, c.knobLength, 1e-9);
        EXPECT_NEAR(m->travel, c.travel, 1e-9);
    }

    const auto m = *ThinScrollMetrics::make(500, 10000, 500);
    const QRectF bounds(0, 0, 15, 500);
    const QRectF top = m.knobRect(0, bounds);
    EXPECT_NEAR(top.x(), 15 - 7.7 - 1.6, 1e-9);
    EXPECT_NEAR(top.y(), 1, 1e-9);
    EXPECT_NEAR(top.width(), 7.7, 1e-9);
    EXPECT_NEAR(top.height(), 32, 1e-9); // 34 trimmed to 32, never below 32
    EXPECT_NEAR(m.knobRect(9500, bounds).y(), 467, 1e-9);
    EXPECT_NEAR(m.knobRect(20000, bounds).y(), 467, 1e-9); // past the end: clamped
    EXPECT_NEAR(m.knobRect(-50, bounds).y(), 1, 1e-9);

    // Paging by 0.9 of the visible height; dragging the full travel scrolls it all.
    EXPECT_NEAR(m.pageTarget(4000, top.top() - 10, m.knobRect(4000, bounds)), 4000 - 450, 1e-9);
    EXPECT_NEAR(m.pageTarget(0, 400, top), 450, 1e-9);
    EXPECT_NEAR(m.dragTarget(0, m.travel), 9500, 1e-9);
    EXPECT_NEAR(m.clamp(m.dragTarget(100, 2 * m.travel)), 9500, 1e-9);
}

namespace {

struct ScrollFixture {
    QWidget window;
    QScrollArea* area = nullptr;

    explicit ScrollFixture(int contentHeight, int depth = 0)
    {
        ScrollbarTuning::install();
        window.resize(400, 540);
        QWidget* parent = &window;
        // Wrap the area in `depth - 1` plain containers below the window.
        for (int i = 1; i < depth; ++i) {
            auto* layout = new QVBoxLayout(parent);
            layout->setContentsMargins(0, 0, 0, 0);
            auto* child = new QWidget;
            layout->addWidget(child);
            parent = child;
        }
        auto* layout = new QVBoxLayout(parent);
        layout->setContentsMargins(0, 0, 0, 0);
        area = new QScrollArea;
        area->setFrameShape(QFrame::NoFrame);
        auto* content = new QWidget;
        content->setFixedSize(300, contentHeight);
        area->setWidget(content);
        area->setFixedHeight(500);
        layout->addWidget(area);
        window.show();
        QApplication::processEvents();
    }
    ThinScrollBar* bar() const
    {
        return area->findChild<ThinScrollBar*>(QString(), Qt::FindDirectChildrenOnly);
    }
};

} // namespace

TEST(ThinScrollBar, PagesAndDragsTheArea)
{
    ScrollFixture f(10000);
    ThinScrollBar* bar = f.bar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(f.area->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_EQ(bar->height(), 500);
    EXPECT_EQ(bar->geometry().right(), f.area->viewport()->geometry().right());
    f.window.hide(); // shown again: the bar is found, no second one is added
    f.window.show();
    QApplication::processEvents();
    EXPECT_EQ(f.area->findChildren<ThinScrollBar*>().size(), 1);

    QScrollBar* vbar = f.area->verticalScrollBar();
    const auto knob = bar->knobRect();
    ASSERT_TRUE(knob.has_value());
    EXPECT_NEAR(knob->height(), 32, 1e-9);

    // Below the knob: a page down, 0.9 of the visible height.
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(int(knob->center().x()), 300));
    EXPECT_EQ(vbar->value(), 450);
    // Above it: back up.
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(int(bar->knobRect()->center().x()), 2));
    EXPECT_EQ(vbar->value(), 0);

    // Dragging the knob by its full travel scrolls to the end.
    const QPoint grab = bar->knobRect()->center().toPoint();
    QTest::mousePress(bar, Qt::LeftButton, {}, grab);
    EXPECT_TRUE(bar->isDragging());
    QMouseEvent move(QEvent::MouseMove, QPointF(grab.x(), grab.y() + 466), bar->mapToGlobal(QPointF(grab.x(), grab.y() + 466)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    EXPECT_EQ(vbar->value(), vbar->maximum());
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(grab.x(), grab.y() + 466));
    EXPECT_FALSE(bar->isDragging());

    // The wheel still scrolls through the hidden system bar, and the knob follows.
    vbar->setValue(0);
    const qreal before = bar->knobRect()->y();
    vbar->setValue(5000);
    EXPECT_GT(bar->knobRect()->y(), before);
}

TEST(ThinScrollBar, ContentThatFitsShowsNoKnobAndTakesNoClicks)
{
    ScrollFixture f(500);
    ThinScrollBar* bar = f.bar();
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->knobRect().has_value());
    EXPECT_TRUE(bar->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST(ThinScrollBar, AreasGetTheBarWhenShownOrGrownAtAnyDepth)
{
    // No timer: the bar is there as soon as show() returns, however deep the area sits.
    ScrollFixture deep(10000, 30);
    EXPECT_NE(deep.bar(), nullptr);

    // An area too short for a knob when shown gets the bar once it grows.
    ScrollFixture grows(10000);
    grows.area->setFixedHeight(15);
    QApplication::processEvents();
    delete grows.bar();
    grows.area->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QApplication::processEvents();
    ASSERT_EQ(grows.bar(), nullptr);
    grows.area->setFixedHeight(300);
    QApplication::processEvents();
    EXPECT_NE(grows.bar(), nullptr);
}

TEST(ThinScrollBar, KnobIsDrawnForTheAppearance)
{
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        QSettings().setValue(Appearance::settingsKey, QString::fromLatin1(mode));
        Appearance::instance().apply();
        ScrollFixture f(10000);
        ThinScrollBar* bar = f.bar();
        ASSERT_NE(bar, nullptr);
        const QImage image = f.area->grab().toImage();
        const qreal dpr = image.devicePixelRatio();
        const QPoint knob = bar->mapTo(f.area, bar->knobRect()->center().toPoint());
        const QColor inKnob = image.pixelColor(knob * dpr);
        const QColor beside = image.pixelColor(QPoint(knob.x() - 20, knob.y()) * dpr);
        if (Appearance::instance().isDark())
            EXPECT_GT(inKnob.lightness(), beside.lightness() + 20);
        else
            EXPECT_LT(inKnob.lightness(), beside.lightness() - 20);
    }
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
    Appearance::instance().apply();
}
