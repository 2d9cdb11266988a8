#pragma once

#include <functional>
#include <optional>

#include <QDateTime>
#include <QImage>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "online/Member.h"

// The owner of the user's session and the QR-code login: restores and verifies a saved
// session, shows a QR code and polls until it is scanned, keeps the token and the expiry,
// logs out, renames the user. Lives on the GUI thread as long as the application.
//
// Replies that arrive after a newer request, a logout or a restart of the login never
// apply: each request carries the generation it was sent in.
class LoginService : public QObject
{
    Q_OBJECT
public:
    struct Phase
    {
        enum class Kind { loggedOut, loggedIn, checking, waitingScan };
        Kind kind = Kind::checking;
        std::optional<QString> reason; // loggedOut only
        Member member;                 // loggedIn only

        static Phase loggedOut(std::optional<QString> reason = std::nullopt);
        static Phase loggedIn(const Member& member);
        static Phase checking();
        static Phase waitingScan();
        bool operator==(const Phase& other) const;
        bool isLoggedIn() const { return kind == Kind::loggedIn; }
    };

    // Injectable so that tests need not wait the real intervals.
    struct Timing
    {
        int pollIntervalMs = 2000;
        int maxPolls = 1800;
        int requestTimeoutMs = 15000;
    };

    static constexpr const char* expiredText = "登录已过期（超过 3 天），请重新扫码";
    static constexpr const char* verifyFailedText = "请重新扫码登录";
    static constexpr const char* fetchingText = "正在获取二维码…";
    static constexpr const char* fetchFailedText = "获取二维码失败，请检查网络后重试";
    static constexpr const char* qrExpiredText = "二维码已过期，正在刷新…";
    static constexpr const char* qrTimedOutText = "二维码已超时，请点击刷新";
    static constexpr const char* signInFirstText = "请先登录";
    static constexpr const char* saveFailedText = "保存失败，请稍后重试";
    static constexpr const char* loggedOutText = "已退出登录";

    explicit LoginService(QObject* parent = nullptr);
    LoginService(Timing timing, QObject* parent = nullptr);

    const Phase& phase() const { return m_phase; }
    const QImage& qrcode() const { return m_qrcode; }
    const QString& hintText() const { return m_hintText; }
    const std::optional<QDateTime>& expireAt() const { return m_expireAt; }
    bool isRefreshing() const { return m_isRefreshing; }

    // Restores the saved session and verifies it with the server.
    void start();
    // Asks for a new QR code and polls for its scan.
    void requestQrcode();
    // Ends the session now: the token file and the stored expiry go, and no reply sent
    // before can sign the user back in.
    void forceLogout(const std::optional<QString>& reason);
    // Sends a new nickname; `done` gets nothing on success, else the text to show. It runs
    // on the GUI thread, never once `context` is gone.
    void updateNickname(const QString& nickname, QObject* context,
                        std::function<void(const std::optional<QString>& error)> done);

    // The gate shows the code 202 points wide; this serves screens up to 2.5x.
    static constexpr int qrPixelSide = 512;

    // The image in a "qrcode" reply value: a data URL or bare base64, scaled down to fit
    // `maxSide` pixels when it is larger (0: full size).
    static QImage imageFromQrText(const QString& text, int maxSide = 0);
    // "expireAt" as a date: a JSON number of seconds since 1970.
    static std::optional<QDateTime> dateFromJson(const QJsonValue& value);

signals:
    void phaseChanged();
    void qrcodeChanged();
    void hintTextChanged();
    void expireAtChanged();
    void isRefreshingChanged();

private:
    void post(const QString& path, const QJsonObject& body,
              std::function<void(const std::optional<QJsonObject>&)> done);
    void showQrcode(const QString& text, quint64 generation);
    void qrcodeFailed();
    void startPolling();
    void pollOnce(quint64 generation);
    void cancelPolling();
    void scheduleExpiry(const std::optional<QDateTime>& date);
    void onExpiryTimer();
    void endStoredSession();

    void setPhase(const Phase& phase);
    void setQrcode(const QImage& image);
    void setHintText(const QString& text);
    void setExpireAt(const std::optional<QDateTime>& date);
    void setRefreshing(bool refreshing);

    Timing m_timing;
    Phase m_phase = Phase::checking();
    QImage m_qrcode;
    QString m_hintText;
    std::optional<QDateTime> m_expireAt;
    bool m_isRefreshing = false;

    QUrl m_baseURL;
    QString m_mspKey;
    std::optional<QString> m_loginKey;

    // Bumped by every operation that makes earlier replies stale.
    quint64 m_generation = 0;
    quint64 m_nicknameGeneration = 0;
    quint64 m_qrRequestGeneration = 0;
    bool m_polling = false;
    int m_unansweredPolls = 0;
    QTimer m_pollTimer;
    QTimer m_expireTimer;
    std::optional<QDateTime> m_expiryDate;
};
