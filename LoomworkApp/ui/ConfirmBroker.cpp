#include "ui/ConfirmBroker.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDialog>
#include <QThread>
#include <QWaitCondition>

struct ConfirmBroker::Pending {
    QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    bool answer = false;

    void finish(bool value)
    {
        QMutexLocker lock(&mutex);
        if (done)
            return;
        done = true;
        answer = value;
        answered.wakeAll();
    }
};

namespace {

// Answers false when the queued call is dropped without running (the application
// went away with the event still queued).
struct AnswerGuard {
    std::function<void(bool)> finish;
    ~AnswerGuard()
    {
        if (finish)
            finish(false);
    }
};

} // namespace

bool ConfirmBroker::run(Ask ask)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QCoreApplication::closingDown() || isShutDown())
        return false;

    if (QThread::currentThread() == app->thread())
        return ask();

    auto pending = std::make_shared<Pending>();
    {
        QMutexLocker lock(&m_mutex);
        if (m_shutDown)
            return false;
        m_pending.push_back(pending);
    }

    auto guard = std::make_shared<AnswerGuard>();
    guard->finish = [pending](bool value) { pending->finish(value); };
    const bool posted = QMetaObject::invokeMethod(
        app,
        [this, guard, ask = std::move(ask)]() {
            const bool value = isShutDown() ? false : ask();
            guard->finish(value);
            guard->finish = nullptr;
        },
        Qt::QueuedConnection);
    guard.reset();
    if (!posted)
        pending->finish(false);

    {
        QMutexLocker lock(&pending->mutex);
        while (!pending->done)
            pending->answered.wait(&pending->mutex);
    }
    {
        QMutexLocker lock(&m_mutex);
        m_pending.erase(std::remove(m_pending.begin(), m_pending.end(), pending), m_pending.end());
    }
    return pending->answer;
}

void ConfirmBroker::track(QDialog* dialog)
{
    QMutexLocker lock(&m_mutex);
    m_dialogs.removeAll(nullptr);
    m_dialogs.append(dialog);
}

void ConfirmBroker::shutDown()
{
    std::vector<std::shared_ptr<Pending>> pending;
    QList<QPointer<QDialog>> dialogs;
    {
        QMutexLocker lock(&m_mutex);
        m_shutDown = true;
        pending = m_pending;
        dialogs = m_dialogs;
        m_dialogs.clear();
    }
    for (const auto& p : pending)
        p->finish(false);
    for (const auto& dialog : dialogs) {
        if (dialog)
            dialog->reject();
    }
}

bool ConfirmBroker::isShutDown() const
{
    QMutexLocker lock(&m_mutex);
    return m_shutDown;
}

int ConfirmBroker::waitingCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_pending.size());
}
