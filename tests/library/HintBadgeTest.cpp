#include <cmath>

#include <gtest/gtest.h>

#include <QTest>

#include "library/MarkAnimator.h"
#include "support/app/QtPrint.h"

TEST(MarkAnimator, SecondWaveReplacesTheFirst)
{
    MarkAnimator animator;
    qreal now = 100.0;
    animator.setClock([&now] { return now; });
    int firstDone = 0;
    int secondDone = 0;
    animator.startWave([&] { ++firstDone; });
    EXPECT_EQ(animator.wave(), 0);
    // The clock stands still: the wave reads the expected value from the next tick on.
    const auto waveReaches = [&](qreal value) {
        return QTest::qWaitFor([&] { return std::abs(animator.wave() - value) < 1e-9; }, 30000);
    };
    now += 0.5;
    EXPECT_TRUE(waveReaches(0.25));

    animator.startWave([&] { ++secondDone; });
    EXPECT_EQ(animator.wave(), 0);
    now += 1.9; // 2.4 s after the first start, 1.9 after the second
    EXPECT_TRUE(waveReaches(0.95)) << animator.wave();
    EXPECT_EQ(firstDone, 0);

    now += 0.1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return secondDone == 1; }, 30000));
    EXPECT_EQ(animator.wave(), -1.0);
    QTest::qWait(3 * MarkAnimator::kWaveTickMs);
    EXPECT_EQ(firstDone, 0);
    EXPECT_EQ(secondDone, 1);
}

TEST(MarkAnimator, PlayEndsAtRestAndThenWaves)
{
    MarkAnimator animator;
    bool done = false;
    qreal peakScale = 1.0;
    qreal maxSweep = -1.0;
    QObject::connect(&animator, &MarkAnimator::changed, [&] {
        peakScale = std::max(peakScale, animator.scale());
        maxSweep = std::max(maxSweep, animator.sweep());
    });
    animator.play([&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 30000));
    EXPECT_GT(peakScale, 1.2);
    EXPECT_GT(maxSweep, 1.0);
    EXPECT_NEAR(animator.scale(), 1.0, 1e-6);
    EXPECT_NEAR(animator.tilt(), 0, 1e-6);
    EXPECT_EQ(animator.sweep(), -1.0);
    EXPECT_NEAR(animator.glow(), 0, 1e-6);
    EXPECT_EQ(animator.wave(), -1.0);
}
