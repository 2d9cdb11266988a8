#include "support/views/AppearanceCheck.h"

#include <memory>

#include <QApplication>
#include <QScopeGuard>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QRegion>
#include <QTest>
#include <QWidget>

#include "support/app/NetworkIdle.h"
#include "support/views/ListFixtures.h"

namespace {

struct Look {
    QImage picture;
    // Spinners, the drop hint's mark, the promotion carousel and the last scan's time move on
    // their own clock: where they are is not compared.
    QRegion moving;
};

Look lookOf(QWidget& view)
{
    ListFixtures::settle(60);
    Look look{view.grab().toImage().convertToFormat(QImage::Format_ARGB32), {}};
    const qreal ratio = look.picture.devicePixelRatio();
    for (QWidget* part : view.findChildren<QWidget*>()) {
        // The last scan's time reads the clock: two views a minute apart show two times.
        const auto* label = qobject_cast<const QLabel*>(part);
        const bool clock = label && label->text().startsWith(QStringLiteral("上次扫描"));
        if (!part->isVisible()
            || !(clock || part->inherits("BusySpinner") || part->inherits("HintBadge") || part->inherits("PromoCarousel")))
            continue;
        const QRect r(part->mapTo(&view, QPoint(0, 0)), part->size());
        look.moving += QRect((r.topLeft() * ratio), r.size() * ratio);
    }
    return look;
}

std::shared_ptr<QWidget> shown(const std::function<std::shared_ptr<QWidget>()>& make, const std::function<bool(QWidget*)>& ready)
{
    std::shared_ptr<QWidget> view = make();
    view->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    if (ready) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return ready(view.get()); }, 30000));
    }
    // Whatever the view asked the network for (configuration, pictures) has arrived and shows.
    EXPECT_TRUE(waitForNetworkIdle());
    return view;
}

} // namespace

::testing::AssertionResult AppearanceCheck::follows(const std::function<std::shared_ptr<QWidget>()>& make, const char* from, const char* to,
                                                   const QString& name, const std::function<bool(QWidget*)>& ready)
{
    // A text cursor that blinks would differ by the moment of the picture.
    const int flashTime = QApplication::cursorFlashTime();
    QApplication::setCursorFlashTime(0);
    const auto restore = qScopeGuard([flashTime] { QApplication::setCursorFlashTime(flashTime); });
    ListFixtures::setAppearance(from);
    auto switched = shown(make, ready);
    ListFixtures::settle(60);
    ListFixtures::setAppearance(to);
    const Look after = lookOf(*switched);
    switched.reset();
    auto fresh = shown(make, ready);
    const Look made = lookOf(*fresh);
    fresh.reset();
    if (after.picture.size() != made.picture.size())
        return ::testing::AssertionFailure() << name.toStdString() << ": the views differ in size";
    const QRegion moving = after.moving + made.moving;
    int differing = 0;
    QRect where;
    for (int y = 0; y < after.picture.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(after.picture.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(made.picture.constScanLine(y));
        for (int x = 0; x < after.picture.width(); ++x) {
            if (a[x] != b[x] && !moving.contains(QPoint(x, y))) {
                ++differing;
                where |= QRect(x, y, 1, 1);
            }
        }
    }
    if (differing > 0) {
        const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots/");
        QDir().mkpath(dir);
        const QString stem = dir + QStringLiteral("%1-%2-to-%3").arg(name, QString::fromLatin1(from), QString::fromLatin1(to));
        after.picture.save(stem + QStringLiteral("-switched.png"));
        made.picture.save(stem + QStringLiteral("-fresh.png"));
        return ::testing::AssertionFailure() << name.toStdString() << " switched from " << from << " to " << to << ": "
                                             << differing << " pixels differ from a fresh view, within (" << where.x()
                                             << ", " << where.y() << ") " << where.width() << "x" << where.height();
    }
    return ::testing::AssertionSuccess();
}
