#include "online/LoginService.h"

#include <cmath>

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QPointer>

#include "engine/core/WorkerThread.h"
#include "engine/model/AppSettings.h"
#include "online/ServerConfig.h"
#include "online/TokenStore.h"
#include "online/V2API.h"

namespace {

const QString expireAtKey = QStringLiteral("loginExpireAt");
const QString memberKey = QStringLiteral("loginMember");

// The key the login server knows this application by.
const QString applicationKey = QStringLiteral("lmwk");

// A timer cannot wait longer than an int of milliseconds; longer waits are taken in steps.
constexpr qint64 longestTimerStepMs = 24LL * 3600 * 1000;

bool succeeded(const std::optional<QJsonObject>& reply)
{
    return reply && V2API::integerStatus(*reply) == 0;
}

} // namespace

LoginService::Phase LoginService::Phase::loggedOut(std::optional<QString> reason)
{
    Phase phase;
    phase.kind = Kind::loggedOut;
    phase.reason = std::move(reason);
    return phase;
}

LoginService::Phase LoginService::Phase::loggedIn(const Member& member)
{
    Phase phase;
    phase.kind = Kind::loggedIn;
    phase.member = member;
    return phase;
}

LoginService::Phase LoginService::Phase::checking()
{
    return Phase{};
}

LoginService::Phase LoginService::Phase::waitingScan()
{
    Phase phase;
    phase.kind = Kind::waitingScan;
    return phase;
}

bool LoginService::Phase::operator==(const Phase& other) const
{
    if (kind != other.kind)
        return false;
    if (kind == Kind::loggedOut)
        return reason == other.reason;
    if (kind == Kind::loggedIn)
        return member == other.member;
    return true;
}

LoginService::LoginService(QObject* parent)
    : LoginService(Timing{}, parent)
{
}

LoginService::LoginService(Timing timing, QObject* parent)
    : QObject(parent)
    , m_timing(timing)
    , m_baseURL(ServerConfig::baseURL())
    , m_mspKey(applicationKey)
{
    m_pollTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, [this] { pollOnce(m_generation); });
    m_expireTimer.setSingleShot(true);
    connect(&m_expireTimer, &QTimer::timeout, this, &LoginService::onExpiryTimer);
}

QImage LoginService::imageFromQrText(const QString& text, int maxSide)
{
    const qsizetype marker = text.indexOf(QLatin1String("base64,"));
    const QString payload = marker >= 0 ? text.mid(marker + 7) : text;
    // Characters outside the alphabet (line breaks included) are skipped by the decoder.
    QByteArray bytes = QByteArray::fromBase64(payload.toLatin1());
    if (bytes.isEmpty())
        return {};
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // A large code is decoded straight to the size it is shown at, never at full size.
    const QSize size = reader.size();
    if (maxSide > 0 && size.isValid() && (size.width() > maxSide || size.height() > maxSide))
        reader.setScaledSize(size.scaled(maxSide, maxSide, Qt::KeepAspectRatio));
    return reader.read();
}

std::optional<QDateTime> LoginService::dateFromJson(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double seconds = value.toDouble();
    // Beyond a few million years the milliseconds would overflow; no server means that.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1.0e14)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(seconds * 1000.0)), Qt::UTC);
}

void LoginService::post(const QString& path, const QJsonObject& body,
                        std::function<void(const std::optional<QJsonObject>&)> done)
{
    V2API::postTo(m_baseURL.resolved(QUrl(path)), body, m_timing.requestTimeoutMs, this,
                  std::move(done));
}

void LoginService::start()
{
    m_expireTimer.stop();
    cancelPolling();
    const auto token = TokenStore::read();
    if (!token) {
        setPhase(Phase::loggedOut());
        return;
    }
    const QVariant stored = AppSettings::value(expireAtKey);
    if (stored.typeId() == QMetaType::QDateTime && stored.toDateTime().isValid()
        && stored.toDateTime() <= QDateTime::currentDateTimeUtc()) {
        endStoredSession();
        setPhase(Phase::loggedOut(QString::fromUtf8(expiredText)));
        return;
    }
    setPhase(Phase::checking());

    const quint64 generation = m_generation;
    post(QStringLiteral("/v2/verify"), {{"token", *token}},
         [this, generation](const std::optional<QJsonObject>& reply) {
             if (generation != m_generation)
                 return;
             if (!succeeded(reply)) {
                 endStoredSession();
                 setPhase(Phase::loggedOut(QString::fromUtf8(verifyFailedText)));
                 return;
             }
             const auto member = V2API::decode<Member>(reply->value(QLatin1String("member")));
             const auto date = dateFromJson(reply->value(QLatin1String("expireAt")));
             setExpireAt(date);
             if (date)
                 AppSettings::setValue(expireAtKey, *date);
             setPhase(Phase::loggedIn(member.value_or(Member::placeholder())));
             scheduleExpiry(date);
         });
}

void LoginService::requestQrcode()
{
    cancelPolling();
    setRefreshing(true);
    setHintText(QString::fromUtf8(fetchingText));

    const quint64 generation = m_generation;
    post(QStringLiteral("/v2/getLoginQrcode"), {{"mspKey", m_mspKey}},
         [this, generation](const std::optional<QJsonObject>& reply) {
             if (generation != m_generation) {
                 // A logout overtook this request; unless a newer request is running, the
                 // spinner stops.
                 if (m_qrRequestGeneration == generation)
                     setRefreshing(false);
                 return;
             }
             const QJsonValue loginKey = reply ? reply->value(QLatin1String("loginKey")) : QJsonValue();
             if (!succeeded(reply) || !loginKey.isString()) {
                 qrcodeFailed();
                 return;
             }
             m_loginKey = loginKey.toString();
             const QJsonValue qrText = reply->value(QLatin1String("qrcode"));
             showQrcode(qrText.isString() ? qrText.toString() : QString(), generation);
         });
    m_qrRequestGeneration = generation;
}

void LoginService::qrcodeFailed()
{
    setRefreshing(false);
    setHintText(QString::fromUtf8(fetchFailedText));
    setPhase(Phase::loggedOut(QString::fromUtf8(fetchFailedText)));
}

void LoginService::showQrcode(const QString& text, quint64 generation)
{
    // Decoding a large picture takes long: it runs on a thread of its own.
    QPointer<LoginService> self(this);
    const auto shown = [self, generation](const QImage& image) {
        if (!self)
            return;
        if (generation != self->m_generation) {
            if (self->m_qrRequestGeneration == generation)
                self->setRefreshing(false);
            return;
        }
        if (image.isNull()) {
            // A code that cannot be shown (nor decoded, for want of a thread or memory) is a
            // failed request, not progress.
            self->qrcodeFailed();
            return;
        }
        self->setRefreshing(false);
        self->setQrcode(image);
        self->setHintText(QString());
        self->setPhase(Phase::waitingScan());
        self->startPolling();
    };
    const bool started = WorkerThread::start([shown, text] {
        QImage image;
        try {
            image = imageFromQrText(text, qrPixelSide);
        } catch (...) {
            image = QImage();
        }
        try {
            QMetaObject::invokeMethod(QCoreApplication::instance(), [shown, image] { shown(image); }, Qt::QueuedConnection);
        } catch (...) {
            // No memory to say so; the next refresh asks again.
        }
    });
    if (!started)
        shown(QImage());
}

void LoginService::cancelPolling()
{
    ++m_generation;
    m_polling = false;
    m_pollTimer.stop();
}

void LoginService::startPolling()
{
    cancelPolling();
    m_polling = true;
    m_unansweredPolls = 0;
    m_pollTimer.start(m_timing.pollIntervalMs);
}

void LoginService::pollOnce(quint64 generation)
{
    if (!m_polling || generation != m_generation)
        return;
    if (m_unansweredPolls >= m_timing.maxPolls || !m_loginKey) {
        m_polling = false;
        setHintText(QString::fromUtf8(qrTimedOutText));
        setPhase(Phase::loggedOut(QString::fromUtf8(qrTimedOutText)));
        return;
    }
    post(QStringLiteral("/v2/getLogin"), {{"loginKey", *m_loginKey}},
         [this, generation](const std::optional<QJsonObject>& reply) {
             if (!m_polling || generation != m_generation)
                 return;
             const auto status = reply ? V2API::integerStatus(*reply) : std::nullopt;
             const QJsonValue token = reply ? reply->value(QLatin1String("token")) : QJsonValue();
             // A token that cannot be kept is no sign-in: the reply counts as a bad one.
             if (status == 0 && token.isString() && TokenStore::set(token.toString())) {
                 m_polling = false;
                 const auto date = dateFromJson(reply->value(QLatin1String("expireAt")));
                 if (date)
                     AppSettings::setValue(expireAtKey, *date);
                 setExpireAt(date);
                 setQrcode(QImage());
                 const auto member = V2API::decode<Member>(reply->value(QLatin1String("member")));
                 setPhase(Phase::loggedIn(member.value_or(Member::placeholder())));
                 scheduleExpiry(date);
                 return;
             }
             if (status == 1) {
                 setHintText(QString::fromUtf8(qrExpiredText));
                 requestQrcode();
                 return;
             }
             ++m_unansweredPolls;
             m_pollTimer.start(m_timing.pollIntervalMs);
         });
}

void LoginService::scheduleExpiry(const std::optional<QDateTime>& date)
{
    m_expireTimer.stop();
    m_expiryDate = date;
    if (!date)
        return;
    const qint64 remaining = QDateTime::currentDateTimeUtc().msecsTo(*date);
    if (remaining <= 0) {
        forceLogout(QString::fromUtf8(expiredText));
        return;
    }
    m_expireTimer.start(int(std::min(remaining, longestTimerStepMs)));
}

void LoginService::onExpiryTimer()
{
    if (!m_expiryDate)
        return;
    if (QDateTime::currentDateTimeUtc().msecsTo(*m_expiryDate) > 0) {
        scheduleExpiry(m_expiryDate); // a long wait, taken in steps
        return;
    }
    forceLogout(QString::fromUtf8(expiredText));
}

void LoginService::endStoredSession()
{
    TokenStore::remove();
    AppSettings::remove(expireAtKey);
    AppSettings::remove(memberKey);
}

void LoginService::forceLogout(const std::optional<QString>& reason)
{
    cancelPolling();
    m_expireTimer.stop();
    m_expiryDate.reset();
    endStoredSession();
    setQrcode(QImage());
    setPhase(Phase::loggedOut(reason));
}

void LoginService::updateNickname(const QString& nickname, QObject* context,
                                  std::function<void(const std::optional<QString>&)> done)
{
    QPointer<QObject> caller(context);
    if (!m_phase.isLoggedIn()) {
        QMetaObject::invokeMethod(
            this,
            [caller, done] {
                if (caller)
                    done(QString::fromUtf8(signInFirstText));
            },
            Qt::QueuedConnection);
        return;
    }
    const QString token = TokenStore::read().value_or(QString());
    const quint64 generation = m_generation;
    const quint64 nicknameGeneration = ++m_nicknameGeneration;
    const QString sentFor = m_phase.member.memberKey;
    post(QStringLiteral("/v2/profile/nickname"), {{"token", token}, {"nickname", nickname}},
         [=, this](const std::optional<QJsonObject>& reply) {
             std::optional<QString> result;
             if (succeeded(reply)) {
                 // Applied only while the same member is signed in and no newer name is
                 // on its way.
                 const auto member = V2API::decode<Member>(reply->value(QLatin1String("member")));
                 if (member && generation == m_generation
                     && nicknameGeneration == m_nicknameGeneration && m_phase.isLoggedIn()
                     && m_phase.member.memberKey == sentFor)
                     setPhase(Phase::loggedIn(*member));
             } else if (reply && reply->value(QLatin1String("info")).isString()) {
                 result = reply->value(QLatin1String("info")).toString();
             } else {
                 result = QString::fromUtf8(saveFailedText);
             }
             if (caller)
                 done(result);
         });
}

void LoginService::setPhase(const Phase& phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    emit phaseChanged();
}

void LoginService::setQrcode(const QImage& image)
{
    if (m_qrcode.isNull() && image.isNull())
        return;
    m_qrcode = image;
    emit qrcodeChanged();
}

void LoginService::setHintText(const QString& text)
{
    if (m_hintText == text)
        return;
    m_hintText = text;
    emit hintTextChanged();
}

void LoginService::setExpireAt(const std::optional<QDateTime>& date)
{
    if (m_expireAt == date)
        return;
    m_expireAt = date;
    emit expireAtChanged();
}

void LoginService::setRefreshing(bool refreshing)
{
    if (m_isRefreshing == refreshing)
        return;
    m_isRefreshing = refreshing;
    emit isRefreshingChanged();
}
