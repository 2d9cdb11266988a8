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
    now += 0.5;
    QTest::qWait(3 * MarkAnimator::kWaveTickMs);
    EXPECT_NEAR(animator.wave(), 0.25, 1e-9);

    animator.startWave([&] { ++secondDone; });
    EXPECT_EQ(animator.wave(), 0);
    now += 1.9; // 2.4 s after the first start, 1.9 after the second
    QTest::qWait(3 * MarkAnimator::kWaveTickMs);
    EXPECT_NEAR(animator.wave(), 0.95, 1e-9);
    EXPECT_EQ(firstDone, 0);

    now += 0.1;
    EXPECT_TRUE(QTest::qWaitFor([&] { return secondDone == 1; }, 1000));
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 6000));
    EXPECT_GT(peakScale, 1.2);
    EXPECT_GT(maxSweep, 1.0);
    EXPECT_NEAR(animator.scale(), 1.0, 1e-6);
    EXPECT_NEAR(animator.tilt(), 0, 1e-6);
    EXPECT_EQ(animator.sweep(), -1.0);
    EXPECT_NEAR(animator.glow(), 0, 1e-6);
    EXPECT_EQ(animator.wave(), -1.0);
}
