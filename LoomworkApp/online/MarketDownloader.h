#pragma once

#include <functional>
#include <optional>

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "online/RedirectChain.h"

// Why a market download failed, with the text for the user.
struct MarketDownloadError
{
    enum class Kind {
        http,
        badURL,
        empty,
        transport,
        storage,
        size
    };
    Kind kind = Kind::transport;
    int httpStatus = 0;
    QString message;

    static MarketDownloadError http(int status);
    static MarketDownloadError badURL();
    static MarketDownloadError empty();
    static MarketDownloadError transport(QString message);
    static MarketDownloadError storage(QString message);
    // More bytes came than stated, or the two stated sizes disagree.
    static MarketDownloadError sizeMismatch();
    static MarketDownloadError noSpace(qint64 needed, qint64 available);
    // A body of no stated size stopped before it would leave less than the margin free.
    static MarketDownloadError spaceRunningOut(qint64 received, qint64 available);
};

// Downloads one file of the market into a folder of its own in the temporary folder (0700,
// the file 0600: private until placed), streamed to disk as it arrives (memory stays flat
// whatever the size). The file is named after the server's suggestion (Content-Disposition,
// else the address) made safe. Redirects are followed over http and https only, never from
// https down to http, at most 10.
// The ticket's size and the answer's Content-Length, where stated, must agree and bound the
// body: a byte beyond them stops the transfer before it is written, and a stated size that
// the free space of the download's folder cannot hold is refused before anything is written.
// A body of no stated size is stopped before a piece that would leave less than
// freeSpaceMargin free there is written.
// An answer other than 2xx is stopped at its headers (its status tells).
// Progress is handed on at most about 30 times a second, and the last report always. A
// transfer that stalls for the stall time, or runs past the total deadline, fails; every
// failure removes what was written.
class MarketFileDownloader : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        QString file;                             // set on success
        std::optional<MarketDownloadError> error; // set on failure
    };
    using Progress = std::function<void(qint64 received, qint64 total)>;
    using Done = std::function<void(const Result& result)>;
    // Bytes free for the user in `folder`; below 0 when unknown (nothing is refused then).
    using FreeSpace = std::function<qint64(const QString& folder)>;

    static constexpr int defaultStallMs = 60 * 1000;
    static constexpr int defaultDeadlineMs = 3600 * 1000;
    static constexpr qint64 progressIntervalMs = 33;
    // What a download of no stated size leaves free at least.
    static constexpr qint64 freeSpaceMargin = qint64(64) << 20;

    // Starts a download owned by `context` (destroying it cancels the download and drops its
    // results). A `statedSize` above 0 is the size the ticket gives: a body of another length
    // is a cut transfer. `done` is called once, on the GUI thread. Returns the downloader.
    static MarketFileDownloader* download(const QString& urlString, qint64 statedSize, QObject* context,
                                          Progress onProgress, Done done);

    // Time limits of the downloads started afterwards (tests shorten them).
    static void setLimits(int stallMs, int deadlineMs);
    // Tests replace the free-space query; empty: the file system's own answer.
    static void setFreeSpaceQuery(FreeSpace query);

    // Removes a downloaded file and the folder made for it.
    static void discard(const QString& file);

    // The name the server suggests: Content-Disposition's filename* (RFC 5987), else its
    // filename, else the last component of the address, else "plugin.zfcp"; always made
    // safe (MarketInstaller::safeFileName).
    static QString suggestedFileName(const QByteArray& contentDisposition, const QUrl& url);

    ~MarketFileDownloader() override;

private:
    MarketFileDownloader(QObject* parent, Progress onProgress, Done done);
    void start(const QUrl& url);
    void onHeaders();
    void onReadyRead();
    void onFinished();
    // Aborts the transfer; it then fails with `error`.
    void stop(const MarketDownloadError& error);
    std::optional<MarketDownloadError> shortage(qint64 needed) const;
    void fail(const MarketDownloadError& error);
    void report(bool force);
    void cleanUp();

    Progress m_onProgress;
    Done m_done;
    QPointer<RedirectChain> m_chain;
    QString m_folder;
    QFile m_file;
    QTimer m_stall;
    QElapsedTimer m_sinceReport;
    bool m_reported = false;
    bool m_finished = false;
    bool m_stalled = false;
    std::optional<MarketDownloadError> m_stopped;
    qint64 m_received = 0;
    qint64 m_total = -1;
    qint64 m_statedSize = 0;
};
