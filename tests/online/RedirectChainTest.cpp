#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QFileInfo>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTest>

#include "online/MarketDownloader.h"
#include "online/RemoteImageLoader.h"
#include "online/V2API.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

class RedirectChainTest : public StandinTest
{
};

// An https server on 127.0.0.1 with a throwaway certificate that sends every request on to
// the same path over plain http at `plainPort`, as whoever holds the plain hop would.
class DowngradingServer
{
public:
    explicit DowngradingServer(int plainPort)
    {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, key);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_sign(cert, key, EVP_sha256());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); })));
        tls.setPrivateKey(QSslKey(pem([&](BIO* b) {
            return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
        }), QSsl::Ec));
        X509_free(cert);
        EVP_PKEY_free(key);
        m_server.setSslConfiguration(tls);
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this, plainPort] {
            QTcpSocket* socket = m_server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, plainPort] {
                const QByteArray path = socket->readAll().split(' ').value(1);
                socket->write("HTTP/1.1 302 Found\r\nContent-Length: 0\r\nConnection: close\r\nLocation: http://127.0.0.1:"
                              + QByteArray::number(plainPort) + path + "\r\n\r\n");
                socket->disconnectFromHost();
            });
        });
        m_server.listen(QHostAddress::LocalHost, 0);
        // The client trusts the throwaway certificate for the test's length.
        QSslConfiguration client = m_previous;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        QSslConfiguration::setDefaultConfiguration(client);
    }
    ~DowngradingServer() { QSslConfiguration::setDefaultConfiguration(m_previous); }

    QString url(const QString& path) const { return "https://127.0.0.1:" + QString::number(m_server.serverPort()) + path; }

private:
    template <typename Write>
    static QByteArray pem(Write write)
    {
        BIO* bio = BIO_new(BIO_s_mem());
        write(bio);
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data); // before `data` is read
        const QByteArray text(data, size);
        BIO_free(bio);
        return text;
    }

    QSslConfiguration m_previous = QSslConfiguration::defaultConfiguration();
    QSslServer m_server;
};

} // namespace

// Downloads, pictures and service requests each walk the stand-in's redirect chains, over
// kept-alive and over closed connections, one after another: ten hops arrive, the eleventh
// is refused.
TEST_F(RedirectChainTest, TenHopsArriveAndTheEleventhIsRefused)
{
    for (const bool close : {false, true}) {
        for (const int hops : {1, 3, 10, 11}) {
            SCOPED_TRACE(std::to_string(hops) + (close ? " hops, Connection: close" : " hops"));
            const bool arrives = hops <= 10;
            const auto chain = [&](const char* route, int status) {
                standin().control("script", {{"route", route}, {"redirects", hops}, {"redirectStatus", status},
                                             {"close", close}});
            };
            QObject context;
            chain("/market/blob", 302);
            std::optional<MarketFileDownloader::Result> download;
            MarketFileDownloader::download(standin().baseUrl() + "market/blob?bytes=5000&name=a.zip", 5000, &context,
                                           {}, [&](const MarketFileDownloader::Result& r) { download = r; });
            chain("/promo/pixel.png", 301);
            RemoteImageLoader loader;
            QSignalSpy picture(&loader, &RemoteImageLoader::finished);
            loader.load(QUrl(standin().baseUrl() + "promo/pixel.png"));
            // 307 keeps the method and the body, the token with it, within the origin.
            chain("/v2/verify", 307);
            std::optional<V2API::Reply> envelope;
            V2API::post("/v2/verify", {}, 10, &context, [&](const V2API::Reply& r) { envelope = r; });

            ASSERT_TRUE(QTest::qWaitFor([&] { return download && !picture.isEmpty() && envelope; }, 20000));
            EXPECT_EQ(download->error ? download->error->message : QString(), arrives ? "" : "下载地址无效");
            EXPECT_EQ(QFileInfo(download->file).size(), arrives ? 5000 : 0);
            MarketFileDownloader::discard(download->file);
            EXPECT_EQ(picture.first().first().value<QImage>().isNull(), !arrives);
            EXPECT_EQ(envelope->has_value(), arrives);
            standin().control("reset");
        }
    }
}

// A paid package has no checksum: a download never follows https down to http.
TEST_F(RedirectChainTest, ADownloadRefusesARedirectFromHttpsToHttp)
{
    ASSERT_TRUE(QSslSocket::supportsSsl());
    DowngradingServer server(standin().port());
    QObject context;
    std::optional<MarketFileDownloader::Result> download;
    MarketFileDownloader::download(server.url("/market/blob?bytes=5000&name=a.zip"), 5000, &context, {},
                                   [&](const MarketFileDownloader::Result& r) { download = r; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return download.has_value(); }, 20000));
    EXPECT_EQ(download->error ? download->error->message : QString(), "下载地址无效");
    MarketFileDownloader::discard(download->file);
}

// Qt 6.4 signals on a reply after its end: nothing of it reaches the chain's listeners.
TEST_F(RedirectChainTest, AReplySignallingAfterItsEndChangesNothing)
{
    standin().control("script", {{"route", "/promo/pixel.png"}, {"redirects", 1}});
    RedirectChain chain(QNetworkRequest(QUrl(standin().baseUrl() + "promo/pixel.png")), std::nullopt,
                        RedirectChain::Targets::noDowngrade, {}, nullptr);
    QSignalSpy finished(&chain, &RedirectChain::finished);
    QSignalSpy readyRead(&chain, &RedirectChain::readyRead);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 20000));
    const qsizetype reads = readyRead.size();
    emit chain.reply()->readyRead();
    emit chain.reply()->finished();
    EXPECT_EQ(finished.size(), 1);
    EXPECT_EQ(readyRead.size(), reads);
}
