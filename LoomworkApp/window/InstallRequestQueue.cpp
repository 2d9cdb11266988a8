#include "window/InstallRequestQueue.h"

#include "window/DropIntake.h"

InstallRequestQueue::InstallRequestQueue(QObject* parent) : QObject(parent) {}

void InstallRequestQueue::queue(const QList<QUrl>& urls)
{
    const QList<QUrl> files = DropIntake::packageFiles(urls);
    if (files.isEmpty())
        return;
    if (m_current && canPresent()) {
        // The sheet is open: a new request replaces it.
        m_pending = InstallRequest{QUuid::createUuid(), files};
        presentIfPossible();
        return;
    }
    if (!m_pending) {
        m_pending = InstallRequest{QUuid::createUuid(), files};
    } else {
        for (const QUrl& url : files) {
            if (!m_pending->files.contains(url))
                m_pending->files.append(url);
        }
    }
    presentIfPossible();
}

void InstallRequestQueue::setWindowReady(bool ready)
{
    m_windowReady = ready;
    presentIfPossible();
}

void InstallRequestQueue::setSignedIn(bool signedIn)
{
    m_signedIn = signedIn;
    presentIfPossible();
}

void InstallRequestQueue::setBusy(bool busy)
{
    m_busy = busy;
    presentIfPossible();
}

void InstallRequestQueue::setAlertShown(bool shown)
{
    m_alertShown = shown;
    presentIfPossible();
}

void InstallRequestQueue::finish()
{
    m_current.reset();
    presentIfPossible();
}

void InstallRequestQueue::withdraw()
{
    if (!m_current)
        return;
    QList<QUrl> files = m_current->files;
    m_current.reset();
    if (m_pending) {
        for (const QUrl& url : m_pending->files) {
            if (!files.contains(url))
                files.append(url);
        }
    }
    m_pending = InstallRequest{QUuid::createUuid(), files};
    presentIfPossible();
}

bool InstallRequestQueue::canPresent() const
{
    return m_windowReady && m_signedIn && !m_busy && !m_alertShown;
}

void InstallRequestQueue::presentIfPossible()
{
    if (!m_pending || !canPresent())
        return;
    m_current = std::move(m_pending);
    m_pending.reset();
    emit presentRequested(*m_current);
}
