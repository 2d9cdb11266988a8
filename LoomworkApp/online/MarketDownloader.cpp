#include "online/MarketDownloader.h"

#include <cerrno>

#include <sys/statvfs.h>

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUuid>

#include "engine/core/AppPaths.h"
#include "engine/core/EngineText.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/core/SystemError.h"
#include "online/RedirectChain.h"
#include "online/SafeLink.h"

namespace {

constexpr qint64 readBufferBytes = 1024 * 1024;
constexpr const char* folderPrefix = "loomwork-market-";
constexpr const char* partName = ".download.part";

int g_stallMs = MarketFileDownloader::defaultStallMs;
int g_deadlineMs = MarketFileDownloader::defaultDeadlineMs;
MarketFileDownloader::FreeSpace g_freeSpace;

qint64 freeSpaceOf(const QString& folder)
{
    struct statvfs info;
    if (::statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

// One parameter of a Content-Disposition header, unquoted; nothing when absent.
std::optional<QByteArray> parameter(const QByteArray& header, const QByteArray& name)
{
    qsizetype at = 0;
    while (at < header.size()) {
        const qsizetype semicolon = header.indexOf(';', at);
        if (semicolon < 0)
            return std::nullopt;
        at = semicolon + 1;
        while (at < header.size() && (header[at] == ' ' || header[at] == '\t'))
            ++at;
        const qsizetype equals = header.indexOf('=', at);
        if (equals < 0)
            return std::nullopt;
        const QByteArray key = header.mid(at, equals - at).trimmed().toLower();
        at = equals + 1;
        QByteArray value;
        if (at < header.size() && header[at] == '"') {
            for (++at; at < header.size() && header[at] != '"'; ++at) {
                if (header[at] == '\\' && at + 1 < header.size())
                    ++at;
                value.append(header[at]);
            }
            ++at;
        } else {
            const qsizetype end = header.indexOf(';', at);
            value = header.mid(at, end < 0 ? -1 : end - at).trimmed();
            at = end < 0 ? header.size() : end;
        }
        if (key == name)
            return value;
    }
    return std::nullopt;
}

// RFC 5987: charset'language'percent-encoded bytes.
std::optional<QString> extendedValue(const QByteArray& value)
{
    const qsizetype first = value.indexOf('\'');
    const qsizetype second = first < 0 ? -1 : value.indexOf('\'', first + 1);
    if (second < 0)
        return std::nullopt;
    const QByteArray charset = value.left(first).trimmed().toLower();
    const QByteArray bytes = QByteArray::fromPercentEncoding(value.mid(second + 1));
    if (charset == "utf-8")
        return QString::fromUtf8(bytes);
    if (charset == "iso-8859-1")
        return QString::fromLatin1(bytes);
    return std::nullopt;
}

QString transportText(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("无法连接下载服务器，请检查网络后重试");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("下载超时，请检查网络后重试");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("下载服务器的安全证书无效");
    default:
        return QStringLiteral("下载中断，请检查网络后重试");
    }
}

} // namespace

MarketDownloadError MarketDownloadError::http(int status)
{
    return {Kind::http, status, QStringLiteral("下载失败（HTTP ") + QString::number(status) + QStringLiteral("），请稍后重试")};
}

MarketDownloadError MarketDownloadError::badURL()
{
    return {Kind::badURL, 0, QStringLiteral("下载地址无效")};
}

MarketDownloadError MarketDownloadError::empty()
{
    return {Kind::empty, 0, QStringLiteral("下载到的文件是空的，请联系客服")};
}

MarketDownloadError MarketDownloadError::transport(QString message)
{
    return {Kind::transport, 0, std::move(message)};
}

MarketDownloadError MarketDownloadError::storage(QString message)
{
    return {Kind::storage, 0, std::move(message)};
}

MarketDownloadError MarketDownloadError::sizeMismatch()
{
    return {Kind::size, 0, QStringLiteral("下载的文件大小与服务器说明的不符，已停止下载")};
}

MarketDownloadError MarketDownloadError::noSpace(qint64 needed, qint64 available)
{
    return {Kind::storage, 0, QStringLiteral("磁盘空间不足：需要 ") + EngineText::byteCountText(needed)
                                   + QStringLiteral("，可用 ") + EngineText::byteCountText(available)};
}

MarketDownloadError MarketDownloadError::spaceRunningOut(qint64 received, qint64 available)
{
    const QString left = QStringLiteral("可用空间只剩 ") + EngineText::byteCountText(available);
    if (received <= 0)
        return {Kind::storage, 0, QStringLiteral("磁盘空间不足：") + left + QStringLiteral("，已停止下载，未保存任何内容")};
    return {Kind::storage, 0, QStringLiteral("磁盘空间不足：已下载 ") + EngineText::byteCountText(received)
                                   + QStringLiteral("，") + left + QStringLiteral("，已停止下载，下载的部分已删除")};
}

void MarketFileDownloader::setFreeSpaceQuery(FreeSpace query)
{
    g_freeSpace = std::move(query);
}

void MarketFileDownloader::setLimits(int stallMs, int deadlineMs)
{
    g_stallMs = stallMs;
    g_deadlineMs = deadlineMs;
}

QString MarketFileDownloader::suggestedFileName(const QByteArray& contentDisposition, const QUrl& url)
{
    QString name;
    if (const auto extended = parameter(contentDisposition, "filename*")) {
        if (const auto decoded = extendedValue(*extended))
            name = *decoded;
    }
    if (name.trimmed().isEmpty()) {
        if (const auto plain = parameter(contentDisposition, "filename"))
            name = QString::fromUtf8(*plain);
    }
    if (name.trimmed().isEmpty())
        name = url.fileName(QUrl::FullyDecoded);
    if (name.trimmed().isEmpty())
        name = QStringLiteral("plugin.zfcp");
    return MarketInstaller::safeFileName(name);
}

void MarketFileDownloader::discard(const QString& file)
{
    if (file.isEmpty())
        return;
    QFile::remove(file);
    const QFileInfo folder(QFileInfo(file).absolutePath());
    if (folder.fileName().startsWith(QLatin1String(folderPrefix)))
        QDir(folder.absoluteFilePath()).removeRecursively();
}

MarketFileDownloader* MarketFileDownloader::download(const QString& urlString, qint64 statedSize,
                                                     QObject* context, Progress onProgress, Done done)
{
    auto* downloader = new MarketFileDownloader(context, std::move(onProgress), std::move(done));
    downloader->m_statedSize = statedSize;
    const QUrl url(urlString, QUrl::StrictMode);
    if (!SafeLink::isWebAddress(url)) {
        QMetaObject::invokeMethod(downloader, [downloader] { downloader->fail(MarketDownloadError::badURL()); },
                                  Qt::QueuedConnection);
        return downloader;
    }
    downloader->start(url);
    return downloader;
}

MarketFileDownloader::MarketFileDownloader(QObject* parent, Progress onProgress, Done done)
    : QObject(parent), m_onProgress(std::move(onProgress)), m_done(std::move(done))
{
    m_stall.setSingleShot(true);
    connect(&m_stall, &QTimer::timeout, this, [this] {
        m_stalled = true;
        if (m_chain)
            m_chain->abort();
    });
}

MarketFileDownloader::~MarketFileDownloader()
{
    if (m_chain)
        m_chain->disconnect(this);
    if (!m_finished)
        cleanUp();
}

void MarketFileDownloader::start(const QUrl& url)
{
    // Private until placed: a paid package must not be readable by other local users.
    m_folder = AppPaths::temporaryFolder() + QLatin1Char('/') + QLatin1String(folderPrefix)
        + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!QDir().mkdir(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        const int code = errno;
        m_folder.clear();
        QMetaObject::invokeMethod(this, [this, code] {
            fail(MarketDownloadError::storage(QStringLiteral("无法保存下载的文件：") + SystemError::describe(code)));
        }, Qt::QueuedConnection);
        return;
    }
    m_file.setFileName(m_folder + QLatin1Char('/') + QLatin1String(partName));
    // Unbuffered: what was counted stands in the file, where the free space is read.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, QFile::ReadOwner | QFile::WriteOwner)) {
        const int code = errno; // QFile's own text is English
        QMetaObject::invokeMethod(this, [this, code] {
            fail(MarketDownloadError::storage(QStringLiteral("无法保存下载的文件：") + SystemError::describe(code)));
        }, Qt::QueuedConnection);
        return;
    }
    if (const auto refusal = shortage(m_statedSize)) {
        QMetaObject::invokeMethod(this, [this, refusal] { fail(*refusal); }, Qt::QueuedConnection);
        return;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    // The bytes are counted as they arrive: a compressed transfer would break the counts.
    request.setRawHeader("Accept-Encoding", "identity");
    // The format carries no checksum: a plain hop would let anyone on the path swap the package.
    m_chain = new RedirectChain(request, std::nullopt, RedirectChain::Targets::noDowngrade, {g_deadlineMs}, this);
    m_sinceReport.start();

    connect(m_chain, &RedirectChain::metaDataChanged, this, &MarketFileDownloader::onHeaders);
    connect(m_chain, &RedirectChain::readyRead, this, &MarketFileDownloader::onReadyRead);
    connect(m_chain, &RedirectChain::finished, this, &MarketFileDownloader::onFinished);
    m_stall.start(g_stallMs);
}

std::optional<MarketDownloadError> MarketFileDownloader::shortage(qint64 needed) const
{
    if (needed <= 0)
        return std::nullopt;
    const qint64 available = g_freeSpace ? g_freeSpace(m_folder) : freeSpaceOf(m_folder);
    if (available < 0 || needed <= available)
        return std::nullopt;
    return MarketDownloadError::noSpace(needed, available);
}

void MarketFileDownloader::onHeaders()
{
    QNetworkReply* reply = m_chain->reply();
    reply->setReadBufferSize(readBufferBytes);
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    m_total = length.isValid() ? length.toLongLong() : -1;
    const std::optional<int> status = m_chain->status();
    if (!status)
        return;
    // An error page would only be written to be thrown away, and may be endless.
    if (*status < 200 || *status > 299)
        return m_chain->abort();
    if (m_total >= 0 && m_statedSize > 0 && m_total != m_statedSize)
        return stop(MarketDownloadError::sizeMismatch());
    // The ticket's size was weighed at the start.
    if (m_statedSize <= 0) {
        if (const auto refusal = shortage(m_total))
            return stop(*refusal);
    }
}

void MarketFileDownloader::onReadyRead()
{
    if (m_stopped)
        return;
    m_stall.start(g_stallMs);
    QNetworkReply* reply = m_chain->reply();
    // Where both are stated they are equal (else the headers stopped the transfer).
    const qint64 limit = m_statedSize > 0 ? m_statedSize : m_total;
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(readBufferBytes);
        if (chunk.isEmpty())
            break;
        // Checked before writing: a server that goes on never fills the disk.
        if (limit >= 0 && chunk.size() > limit - m_received)
            return stop(MarketDownloadError::sizeMismatch());
        // Nothing bounds a body of no stated size but the disk: it stops short of filling it.
        if (limit < 0) {
            const qint64 available = g_freeSpace ? g_freeSpace(m_folder) : freeSpaceOf(m_folder);
            if (available >= 0 && chunk.size() > available - freeSpaceMargin)
                return stop(MarketDownloadError::spaceRunningOut(m_received, available));
        }
        if (m_file.write(chunk) != chunk.size()) {
            const int code = errno;
            return stop(MarketDownloadError::storage(QStringLiteral("无法保存下载的文件：")
                                                     + SystemError::describe(code ? code : EIO)));
        }
        m_received += chunk.size();
    }
    report(false);
}

void MarketFileDownloader::stop(const MarketDownloadError& error)
{
    if (!m_stopped)
        m_stopped = error;
    if (m_chain)
        m_chain->abort();
}

void MarketFileDownloader::report(bool force)
{
    if (!m_onProgress)
        return;
    if (!force && m_reported && m_sinceReport.elapsed() < progressIntervalMs)
        return;
    m_reported = true;
    m_sinceReport.restart();
    m_onProgress(m_received, m_total);
}

void MarketFileDownloader::onFinished()
{
    // Nothing of this transfer reaches a handler any more.
    m_chain->disconnect(this);
    m_stall.stop();
    QNetworkReply* reply = m_chain->reply();
    if (reply->bytesAvailable() > 0 && reply->error() == QNetworkReply::NoError && !m_chain->refused())
        onReadyRead();
    const QNetworkReply::NetworkError error = reply->error();
    const std::optional<int> status = m_chain->status();
    const bool refused = m_chain->refused();
    const bool timedOut = m_stalled || m_chain->timedOut();
    const QUrl finalUrl = reply->url();
    const QByteArray disposition = reply->rawHeader("Content-Disposition");
    m_chain->deleteLater();
    m_chain = nullptr;
    report(true);

    const auto cut = [] { return MarketDownloadError::transport(transportText(QNetworkReply::RemoteHostClosedError)); };
    if (m_stopped)
        return fail(*m_stopped);
    if (refused)
        return fail(MarketDownloadError::badURL());
    if (timedOut)
        return fail(MarketDownloadError::transport(QStringLiteral("下载超时，请检查网络后重试")));
    if (status && (*status < 200 || *status > 299))
        return fail(MarketDownloadError::http(*status));
    // No status, or only an interim 1xx one, is the network's failure, not the server's answer.
    if (error != QNetworkReply::NoError || !status)
        return fail(MarketDownloadError::transport(transportText(error)));
    if (m_total >= 0 && m_received != m_total)
        return fail(cut());
    if (!m_file.flush() || m_file.error() != QFileDevice::NoError) {
        const int code = errno;
        return fail(MarketDownloadError::storage(QStringLiteral("无法保存下载的文件：") + SystemError::describe(code ? code : EIO)));
    }
    m_file.close();
    if (m_received <= 0 || QFileInfo(m_file.fileName()).size() <= 0)
        return fail(MarketDownloadError::empty());
    // A body closed early without a length reads as whole: the ticket's size tells.
    if (m_statedSize > 0 && m_received != m_statedSize)
        return fail(cut());

    const QString target = m_folder + QLatin1Char('/') + suggestedFileName(disposition, finalUrl);
    if (target != m_file.fileName() && !QFile::rename(m_file.fileName(), target))
        return fail(MarketDownloadError::storage(QStringLiteral("无法保存下载的文件：") + SystemError::describe(EIO)));

    m_finished = true;
    Result result;
    result.file = target;
    if (m_done)
        m_done(result);
    deleteLater();
}

void MarketFileDownloader::cleanUp()
{
    m_file.close();
    if (!m_folder.isEmpty())
        QDir(m_folder).removeRecursively();
}

void MarketFileDownloader::fail(const MarketDownloadError& error)
{
    if (m_finished)
        return;
    m_finished = true;
    cleanUp();
    Result result;
    result.error = error;
    if (m_done)
        m_done(result);
    deleteLater();
}
