#pragma once

#include <optional>

#include <QList>
#include <QObject>
#include <QUrl>
#include <QUuid>

// One request to show the install sheet for some package files.
struct InstallRequest
{
    QUuid id;
    QList<QUrl> files; // never empty
};

// Holds install requests until the main window can take them: it must be ready, a user
// signed in, no operation running and no alert up. A request is never dropped: requests
// that arrive while waiting are merged into the pending one; a request that arrives while
// the sheet is open replaces the sheet, as a fresh one for the new files.
class InstallRequestQueue : public QObject
{
    Q_OBJECT
public:
    explicit InstallRequestQueue(QObject* parent = nullptr);

    // Keeps the package files of `urls`; does nothing when none is a package.
    void queue(const QList<QUrl>& urls);

    void setWindowReady(bool ready);
    void setSignedIn(bool signedIn);
    void setBusy(bool busy);
    void setAlertShown(bool shown);

    // The request the sheet shows, if any; set by presentRequested, cleared by finish().
    const std::optional<InstallRequest>& current() const { return m_current; }
    bool hasPending() const { return m_pending.has_value(); }
    // The sheet closed (cancelled or confirmed).
    void finish();
    // The sheet was taken down unanswered (signing out): its files wait again, ahead of any
    // that arrived meanwhile, and come back in a fresh request.
    void withdraw();

signals:
    // Present (or rebuild) the install sheet for this request.
    void presentRequested(const InstallRequest& request);

private:
    bool canPresent() const;
    void presentIfPossible();

    bool m_windowReady = false;
    bool m_signedIn = false;
    bool m_busy = false;
    bool m_alertShown = false;
    std::optional<InstallRequest> m_pending;
    std::optional<InstallRequest> m_current;
};
