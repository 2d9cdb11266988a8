#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QList>
#include <QMutex>
#include <QPointer>

class QDialog;

// Carries a question from any thread to the GUI thread and its answer back. A worker
// waits for the answer; the GUI thread asks directly. After shutDown() every waiting
// and every later question answers false, and the open alerts are dismissed, so that
// quitting never hangs on a worker that waits for the user.
class ConfirmBroker
{
public:
    using Ask = std::function<bool()>;

    ConfirmBroker() = default;
    ConfirmBroker(const ConfirmBroker&) = delete;
    ConfirmBroker& operator=(const ConfirmBroker&) = delete;

    // Runs `ask` on the GUI thread and returns its answer to the calling thread.
    bool run(Ask ask);
    // Called from `ask` on the GUI thread: the dialog shutDown() dismisses.
    void track(QDialog* dialog);

    // GUI thread. Answers every pending question false and refuses new ones.
    void shutDown();
    bool isShutDown() const;
    // Number of workers waiting now (for diagnostics and tests).
    int waitingCount() const;

private:
    struct Pending;

    mutable QMutex m_mutex;
    bool m_shutDown = false;
    std::vector<std::shared_ptr<Pending>> m_pending;
    QList<QPointer<QDialog>> m_dialogs;
};
