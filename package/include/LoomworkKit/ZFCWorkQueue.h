#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace kit {

// The package library's one way to share work between threads: tasks are claimed and
// submitted in order, run on worker threads in any order, and handed back in the order they
// were submitted. At most `window` tasks are between claim and pop, and the bytes workers
// reserve for tasks not yet popped stay within a budget; the oldest task always gets its
// bytes, so the queue never stalls on memory. Every wait ends when its stop token fires;
// the destructor stops the workers and joins them. A task reports the errors of its work in
// the task; anything else it throws (a failed allocation) is kept in its place and thrown
// where the task is taken, so it fails the operation, not the process.
class ZFCWorkQueueBase
{
public:
    // What a worker knows of the task it runs.
    class Turn
    {
    public:
        // 0 to workers - 1: an index for tools a thread keeps between tasks.
        unsigned worker() const { return m_worker; }
        std::stop_token stopToken() const { return m_stop; }
        // Counts `bytes` more against the budget for this task, waiting while the budget is
        // spent unless this is the oldest task. False when the queue stops meanwhile.
        bool reserve(int64_t bytes);
        // Counts `bytes` more for this task only when the budget has room for them now,
        // oldest task or not: for work the consumer can as well do itself.
        bool tryReserve(int64_t bytes);
        // Returns `bytes` of what reserve() counted for this task.
        void giveBack(int64_t bytes);

    private:
        friend class ZFCWorkQueueBase;
        Turn(ZFCWorkQueueBase& queue, unsigned worker, int64_t sequence, std::stop_token stop)
            : m_queue(queue), m_worker(worker), m_sequence(sequence), m_stop(std::move(stop))
        {
        }
        ZFCWorkQueueBase& m_queue;
        unsigned m_worker;
        int64_t m_sequence;
        std::stop_token m_stop;
    };

    ZFCWorkQueueBase(const ZFCWorkQueueBase&) = delete;
    ZFCWorkQueueBase& operator=(const ZFCWorkQueueBase&) = delete;

protected:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    using Perform = std::function<void(std::size_t slot, Turn& turn)>;

    ZFCWorkQueueBase(std::size_t window, int64_t budget);
    ~ZFCWorkQueueBase();
    void start(unsigned workers, Perform perform);
    void stop();

    // The window as used: at least 1.
    std::size_t window() const { return m_window; }
    std::size_t tryClaim();
    void submit();
    std::size_t front();
    void pop();

private:
    struct State
    {
        bool done = false;
        int64_t reserved = 0;
        std::exception_ptr thrown;
    };
    State& state(int64_t sequence);
    bool hasRoom() const;
    void work(unsigned worker, const std::stop_token& stop);
    void wakeFreedWaiters(std::unique_lock<std::mutex>& lock);

    const std::size_t m_window;
    const int64_t m_budget;
    Perform m_perform;
    std::vector<State> m_states;
    std::mutex m_mutex;
    std::condition_variable_any m_work;   // workers wait for a task
    std::condition_variable_any m_done;   // the consumer waits for the oldest task
    std::condition_variable_any m_freed;  // producers and workers wait for room or bytes
    int64_t m_submitted = 0;
    int64_t m_started = 0;
    int64_t m_head = 0;
    int64_t m_used = 0;
    int m_idle = 0;
    int m_freedWaiters = 0;
    bool m_consumerWaits = false;
    std::vector<std::jthread> m_workers;
};

// The queue over tasks of type `Task`, kept in `window` slots that are reused: a claimed slot
// holds what its last task left there, so a task type may keep buffers between uses.
template <class Task>
class ZFCWorkQueue : private ZFCWorkQueueBase
{
public:
    using Turn = ZFCWorkQueueBase::Turn;
    using Work = std::function<void(Task&, Turn&)>;

    // `work` runs on `workers` threads (at least one), each task once; a window of 0 is
    // taken as 1.
    ZFCWorkQueue(unsigned workers, std::size_t window, Work work, int64_t budget = std::numeric_limits<int64_t>::max())
        : ZFCWorkQueueBase(window, budget), m_tasks(ZFCWorkQueueBase::window()), m_work(std::move(work))
    {
        start(workers, [this](std::size_t slot, Turn& turn) { m_work(m_tasks[slot], turn); });
    }
    ~ZFCWorkQueue() { stop(); }

    // The slot of the next task when the window has room, else null; nothing is queued
    // until submit().
    Task* tryClaim() { return at(ZFCWorkQueueBase::tryClaim()); }
    // Hands the claimed task to the workers.
    void submit() { ZFCWorkQueueBase::submit(); }
    // The oldest task not yet popped, once its work is done; null when none is queued.
    // Throws what its work threw, as long as it is not popped.
    Task* front() { return at(ZFCWorkQueueBase::front()); }
    // Frees the oldest task's slot and the bytes reserved for it.
    void pop() { ZFCWorkQueueBase::pop(); }

private:
    Task* at(std::size_t slot) { return slot == kNone ? nullptr : &m_tasks[slot]; }

    std::vector<Task> m_tasks;
    Work m_work;
};

} // namespace kit
