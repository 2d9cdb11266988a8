#include "engine/core/WorkerThread.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <unordered_set>

#include <QCoreApplication>
#include <QThread>

namespace {

std::mutex g_mutex;
std::condition_variable g_ended;
int g_running = 0;
std::atomic<int> g_refused{0};
// Thread objects not yet deleted: one that finishes after the last events were served would
// otherwise outlive the application, its deletion never delivered.
std::unordered_set<QThread*> g_objects;

void ended() noexcept
{
    const std::lock_guard lock(g_mutex);
    --g_running;
    g_ended.notify_all();
}

void forget(QThread* thread) noexcept
{
    const std::lock_guard lock(g_mutex);
    g_objects.erase(thread);
}

void waitAtExit()
{
    WorkerThread::waitForAll();
    std::unordered_set<QThread*> left;
    {
        const std::lock_guard lock(g_mutex);
        left.swap(g_objects);
    }
    for (QThread* thread : left) {
        thread->wait();
        delete thread;
    }
}

} // namespace

bool WorkerThread::startWork(std::function<void()> work) noexcept
{
    for (int left = g_refused.load(); left > 0;) {
        if (g_refused.compare_exchange_weak(left, left - 1))
            return false;
    }
    QThread* thread = nullptr;
    bool counted = false;
    try {
        static const bool waited = [] {
            qAddPostRoutine(waitAtExit);
            return true;
        }();
        (void)waited;
        thread = QThread::create([work = std::move(work)] {
            struct End
            {
                ~End() { ended(); }
            } end;
            work();
        });
        // Deleted where events are served, whichever thread starts it.
        if (QCoreApplication* app = QCoreApplication::instance())
            thread->moveToThread(app->thread());
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        QObject::connect(thread, &QObject::destroyed, [thread] { forget(thread); });
        {
            const std::lock_guard lock(g_mutex);
            g_objects.insert(thread);
            ++g_running;
            counted = true;
        }
        thread->start();
        // A thread the system could not make leaves no other sign: it neither runs nor ran.
        if (thread->isRunning() || thread->isFinished())
            return true;
    } catch (...) {
        if (thread && (thread->isRunning() || thread->isFinished()))
            return true; // it runs: only what followed its start ran out of memory
    }
    delete thread;
    if (counted)
        ended();
    return false;
}

void WorkerThread::waitForAll() noexcept
{
    std::unique_lock lock(g_mutex);
    g_ended.wait(lock, [] { return g_running <= 0; });
}

bool WorkerThread::allEnded() noexcept
{
    const std::lock_guard lock(g_mutex);
    return g_running <= 0;
}

void WorkerThread::refuseForTests(int count)
{
    g_refused.store(count);
}
