#pragma once

#include <functional>
#include <optional>

#include <QPointer>
#include <QUrl>
#include <QWidget>

class BusySpinner;
class LoginService;
class QGraphicsOpacityEffect;
class QLabel;
class QPushButton;
class QVariantAnimation;

// The sign-in screen laid over the main window's whole content while nobody is signed in:
// a translucent backdrop with a card showing the login service's phase (checking, the
// logged-out screen with its button, or the QR code with its hint and refresh). It draws
// what the service publishes and calls nothing but requestQrcode().
//
// It covers its parent and follows its size. It shows itself, fading in, whenever the
// phase is not loggedIn and fades out and hides once it is; coveringChanged tells the
// parent when to disable and blur what lies under it.
class LoginGateView : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kCardWidth = 430;
    static constexpr int kCardPadding = 30;
    static constexpr int kCardSpacing = 18;
    static constexpr int kCardRadius = 20;
    static constexpr int kPhaseHeight = 260;
    static constexpr int kScanMinHeight = 270;
    static constexpr int kQrSide = 226;
    static constexpr int kQrRadius = 14;
    static constexpr int kQrPadding = 12;
    static constexpr int kTextWidth = 320;
    static constexpr int kButtonMinWidth = 200;
    static constexpr int kFadeMs = 200;

    explicit LoginGateView(LoginService* service, QWidget* parent = nullptr);
    ~LoginGateView() override;

    // True while the gate is (or is becoming) shown over the parent.
    bool isCovering() const { return m_covering; }

    // The help page: "https://<host>/help" when the host is a plain host name, else none.
    static std::optional<QUrl> helpUrl(const QString& host);
    static QString helpLabel(const QString& host);

    // How links are opened (the desktop's browser by default); tests record instead.
    using UrlOpener = std::function<bool(const QUrl& url)>;
    static void setUrlOpener(UrlOpener opener);

signals:
    void coveringChanged(bool covering);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    class Card;
    class QrCard;
    class ProminentButton;

    void phaseChanged();
    void sync();
    void setCovering(bool covering);
    void fade(bool in);
    void appeared();
    void openHelp();

    QPointer<LoginService> m_service;
    bool m_covering = false;
    // Shown while the service was still checking: the first phase it settles in counts as
    // the one the gate appeared with.
    bool m_appearedChecking = false;

    Card* m_card = nullptr;
    QLabel* m_productName = nullptr;
    QLabel* m_tagline = nullptr;
    QWidget* m_checking = nullptr;
    QLabel* m_checkingText = nullptr;
    QWidget* m_loggedOut = nullptr;
    QLabel* m_outSymbol = nullptr;
    QLabel* m_reason = nullptr;
    ProminentButton* m_qrButton = nullptr;
    QWidget* m_scan = nullptr;
    QrCard* m_qrCard = nullptr;
    QLabel* m_hint = nullptr;
    QPushButton* m_refreshButton = nullptr;
    BusySpinner* m_refreshSpinner = nullptr;
    QPushButton* m_helpButton = nullptr;
    QGraphicsOpacityEffect* m_opacity = nullptr;
    QPointer<QVariantAnimation> m_fade;
};
