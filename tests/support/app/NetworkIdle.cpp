#include "support/app/NetworkIdle.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>
#include <QThreadPool>

#include "engine/core/WorkerThread.h"
#include "online/HttpFetch.h"

bool waitForNetworkIdle(int timeoutMs)
{
    // A reply is deleted (later) once its handler ran; no active thread means no queued task.
    const bool idle = QTest::qWaitFor(
        [] {
            return HttpFetch::manager().findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly).isEmpty()
                && QThreadPool::globalInstance()->activeThreadCount() == 0 && WorkerThread::allEnded();
        },
        timeoutMs);
    QCoreApplication::sendPostedEvents();
    return idle;
}
