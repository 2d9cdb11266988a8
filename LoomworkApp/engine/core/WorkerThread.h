#pragma once

#include <functional>
#include <utility>

// Work on a thread of its own, for a worker whose refusal must be seen. The pool gives no sign
// when the system refuses it a thread: the task is dropped, never runs, and whoever waits for
// its result waits for good. Threads still running when the application object goes are
// waited for before it does, as the pool's are.
namespace WorkerThread {

// Starts `work`; false when no thread could be made (memory, the system's limit on threads):
// `work` then never runs, and the caller ends what it began. From any thread: the thread's
// object is deleted on the GUI thread once it has finished.
[[nodiscard]] bool startWork(std::function<void()> work) noexcept;

template <class Work>
[[nodiscard]] bool start(Work&& work) noexcept
{
    try {
        return startWork(std::function<void()>(std::forward<Work>(work)));
    } catch (...) {
        return false; // no memory for the work itself
    }
}

// Until every worker started here has ended.
void waitForAll() noexcept;
// Whether every worker started here has ended.
bool allEnded() noexcept;

// Tests: the next `count` starts are refused, as the system refuses a thread.
void refuseForTests(int count);

} // namespace WorkerThread
