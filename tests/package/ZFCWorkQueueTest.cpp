#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "LoomworkKit/ZFCWorkQueue.h"

namespace {

struct Task
{
    int index = 0;
    int64_t bytes = 0;
    int result = 0;
};
using Queue = ZFCWorkQueue<Task>;

} // namespace

// Tasks finish in any order but come back in the order they were submitted, and a full
// window takes no more until the oldest is popped.
TEST(ZFCWorkQueue, HandsTasksBackInOrderWithinTheWindow)
{
    std::atomic<bool> secondDone = false;
    Queue queue(3, 4, [&](Task& task, Queue::Turn&) {
        if (task.index == 0)
            secondDone.wait(false);  // the first task ends after the second
        task.result = task.index * task.index;
        if (task.index == 1) {
            secondDone = true;
            secondDone.notify_all();
        }
    });
    int submitted = 0;
    for (int taken = 0; taken < 100; ++taken) {
        for (Task* task = nullptr; submitted < 100 && (task = queue.tryClaim()); ++submitted) {
            task->index = submitted;
            queue.submit();
        }
        EXPECT_EQ(submitted, std::min(taken + 4, 100));
        const Task* oldest = queue.front();
        ASSERT_TRUE(oldest);
        EXPECT_EQ(oldest->result, taken * taken);
        queue.pop();
    }
    EXPECT_EQ(queue.front(), nullptr);
}

// The oldest task gets its bytes whatever the budget; a later one waits until they are
// popped, or until the queue stops; so does a producer waiting for room. A try never waits
// and never goes over the budget.
TEST(ZFCWorkQueue, BoundsHeldBytesAndStopsEveryWait)
{
    enum { waiting, granted, refused };
    std::array<std::atomic<int>, 3> reserved{};
    std::atomic<int> started = 0;
    std::atomic<bool> producerGotRoom = true;
    std::atomic<bool> oldestTried = true;
    std::atomic<bool> laterTried = false;
    {
        Queue queue(
            2, 2,
            [&](Task& task, Queue::Turn& turn) {
                ++started;
                started.notify_all();
                if (task.index == 0)
                    oldestTried = turn.tryReserve(101);
                if (task.index == 2)  // task 1 holds 10 of 100
                    laterTried = !turn.tryReserve(91) && turn.tryReserve(90);
                reserved[task.index] = turn.reserve(task.bytes) ? granted : refused;
            },
            100);
        const auto submit = [&](int index, int64_t bytes) {
            Task* task = queue.tryClaim();
            ASSERT_TRUE(task);
            *task = {.index = index, .bytes = bytes};
            queue.submit();
        };
        submit(0, 150);
        submit(1, 10);
        EXPECT_EQ(queue.front()->index, 0);
        EXPECT_EQ(reserved[0], granted);
        queue.pop();
        EXPECT_EQ(queue.front()->index, 1);
        EXPECT_EQ(reserved[1], granted);
        submit(2, 95);  // 10 + 95 is over the budget while task 1 is not popped
        for (int n = started; n < 3; n = started)
            started.wait(n);
        std::jthread producer([&](std::stop_token stop) { producerGotRoom = queue.claim(stop) != nullptr; });
    }
    EXPECT_EQ(reserved[2], refused);
    EXPECT_FALSE(producerGotRoom);
    EXPECT_FALSE(oldestTried);
    EXPECT_TRUE(laterTried);
}
