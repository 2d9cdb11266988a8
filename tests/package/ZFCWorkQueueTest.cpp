#include <algorithm>
#include <array>
#include <atomic>
#include <new>
#include <stdexcept>
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
using Queue = kit::ZFCWorkQueue<Task>;

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
// popped, or until the queue stops. A try never waits and never goes over the budget.
TEST(ZFCWorkQueue, BoundsHeldBytesAndStopsEveryWait)
{
    enum { waiting, granted, refused };
    std::array<std::atomic<int>, 3> reserved{};
    std::atomic<int> started = 0;
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
    }
    EXPECT_EQ(reserved[2], refused);
    EXPECT_FALSE(oldestTried);
    EXPECT_TRUE(laterTried);
}

// What a task throws (a failed allocation) does not end the process: it comes back where the
// task is taken, in order, and an operation it ends leaves the tasks still in flight to the
// queue's destructor. Taken again before it is popped, it throws again; after, the queue
// goes on.
TEST(ZFCWorkQueue, CarriesWhatATaskThrowsToWhereItIsTaken)
{
    const auto sumOfAll = [](int throwing) {
        Queue queue(3, 4, [=](Task& task, Queue::Turn&) {
            if (task.index == throwing)
                throw std::bad_alloc();
            task.result = task.index;
        });
        int sum = 0;
        int submitted = 0;
        for (;;) {
            for (Task* task = nullptr; submitted < 100 && (task = queue.tryClaim()); ++submitted) {
                task->index = submitted;
                queue.submit();
            }
            const Task* oldest = queue.front();
            if (!oldest)
                return sum;
            sum += oldest->result;
            queue.pop();
        }
    };
    EXPECT_EQ(sumOfAll(-1), 4950);
    EXPECT_THROW(sumOfAll(50), std::bad_alloc);

    Queue queue(1, 2, [](Task& task, Queue::Turn&) {
        if (task.index == 0)
            throw std::runtime_error("first");
        task.result = 7;
    });
    for (int i = 0; i < 2; ++i) {
        Task* task = queue.tryClaim();
        ASSERT_TRUE(task);
        task->index = i;
        queue.submit();
    }
    EXPECT_THROW(queue.front(), std::runtime_error);
    EXPECT_THROW(queue.front(), std::runtime_error);
    queue.pop();
    EXPECT_EQ(queue.front()->result, 7);
}

// No workers and a window of 0 are one of each.
TEST(ZFCWorkQueue, AWindowOfZeroHoldsOneTask)
{
    Queue queue(0, 0, [](Task& task, Queue::Turn&) { task.result = task.index * 2; });
    for (int i = 0; i < 3; ++i) {
        Task* task = queue.tryClaim();
        ASSERT_TRUE(task);
        task->index = i;
        queue.submit();
        EXPECT_EQ(queue.tryClaim(), nullptr);
        EXPECT_EQ(queue.front()->result, i * 2);
        queue.pop();
    }
}
