#include "LoomworkKit/ZFCWorkQueue.h"

#include <algorithm>

// Counters run over the whole life of the queue: task n lives in slot n % window, claimed
// when n == m_submitted, started by a worker when n == m_started, and n < m_head once popped.
// Only a thread that waits is woken.

namespace kit {

ZFCWorkQueueBase::ZFCWorkQueueBase(std::size_t window, int64_t budget)
    : m_window(std::max<std::size_t>(window, 1)), m_budget(budget), m_states(m_window)
{
}

ZFCWorkQueueBase::~ZFCWorkQueueBase() { stop(); }

void ZFCWorkQueueBase::start(unsigned workers, Perform perform)
{
    m_perform = std::move(perform);
    workers = std::max(workers, 1u);
    m_workers.reserve(workers);
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this, i](std::stop_token stop) { work(i, stop); });
}

void ZFCWorkQueueBase::stop()
{
    // All asked first, so that no worker is joined while another still waits for it.
    for (std::jthread& worker : m_workers)
        worker.request_stop();
    m_workers.clear();
}

ZFCWorkQueueBase::State& ZFCWorkQueueBase::state(int64_t sequence)
{
    return m_states[static_cast<std::size_t>(sequence) % m_window];
}

bool ZFCWorkQueueBase::hasRoom() const { return m_submitted - m_head < static_cast<int64_t>(m_window); }

std::size_t ZFCWorkQueueBase::tryClaim()
{
    std::lock_guard lock(m_mutex);
    return hasRoom() ? static_cast<std::size_t>(m_submitted) % m_window : kNone;
}

void ZFCWorkQueueBase::submit()
{
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        ++m_submitted;
        wake = m_idle > 0;
    }
    if (wake)
        m_work.notify_one();
}

std::size_t ZFCWorkQueueBase::front()
{
    std::unique_lock lock(m_mutex);
    if (m_head == m_submitted)
        return kNone;
    if (!state(m_head).done) {
        m_consumerWaits = true;
        m_done.wait(lock, [&] { return state(m_head).done; });
        m_consumerWaits = false;
    }
    if (state(m_head).thrown)
        std::rethrow_exception(state(m_head).thrown);
    return static_cast<std::size_t>(m_head) % m_window;
}

void ZFCWorkQueueBase::pop()
{
    std::unique_lock lock(m_mutex);
    if (m_head == m_submitted)
        return;
    State& oldest = state(m_head);
    m_used -= oldest.reserved;
    oldest = {};
    ++m_head;
    wakeFreedWaiters(lock);
}

void ZFCWorkQueueBase::wakeFreedWaiters(std::unique_lock<std::mutex>& lock)
{
    const bool wake = m_freedWaiters > 0;
    lock.unlock();
    if (wake)
        m_freed.notify_all();
}

void ZFCWorkQueueBase::work(unsigned worker, const std::stop_token& stop)
{
    for (;;) {
        int64_t sequence = 0;
        {
            std::unique_lock lock(m_mutex);
            ++m_idle;
            m_work.wait(lock, stop, [&] { return m_started < m_submitted; });
            --m_idle;
            if (stop.stop_requested())
                return;
            sequence = m_started++;
        }
        Turn turn(*this, worker, sequence, stop);
        std::exception_ptr thrown;
        try {
            m_perform(static_cast<std::size_t>(sequence) % m_window, turn);
        } catch (...) {
            thrown = std::current_exception();
        }
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            state(sequence).done = true;
            state(sequence).thrown = std::move(thrown);
            wake = m_consumerWaits && sequence == m_head;
        }
        if (wake)
            m_done.notify_one();
    }
}

bool ZFCWorkQueueBase::Turn::reserve(int64_t bytes)
{
    ZFCWorkQueueBase& q = m_queue;
    std::unique_lock lock(q.m_mutex);
    const auto fits = [&] { return m_sequence == q.m_head || bytes <= q.m_budget - q.m_used; };
    if (!fits()) {
        ++q.m_freedWaiters;
        q.m_freed.wait(lock, m_stop, fits);
        --q.m_freedWaiters;
        if (m_stop.stop_requested())
            return false;
    }
    q.m_used += bytes;
    q.state(m_sequence).reserved += bytes;
    return true;
}

bool ZFCWorkQueueBase::Turn::tryReserve(int64_t bytes)
{
    ZFCWorkQueueBase& q = m_queue;
    std::lock_guard lock(q.m_mutex);
    if (bytes > q.m_budget - q.m_used)
        return false;
    q.m_used += bytes;
    q.state(m_sequence).reserved += bytes;
    return true;
}

void ZFCWorkQueueBase::Turn::giveBack(int64_t bytes)
{
    ZFCWorkQueueBase& q = m_queue;
    std::unique_lock lock(q.m_mutex);
    q.m_used -= bytes;
    q.state(m_sequence).reserved -= bytes;
    q.wakeFreedWaiters(lock);
}

} // namespace kit
