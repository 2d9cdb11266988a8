#include "account/LoginGateView.h"

#include <QDesktopServices>
#include <QEasingCurve>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTimer>
#include <QVariantAnimation>
#include <QVBoxLayout>

#include "online/LoginService.h"
#include "online/ServerConfig.h"
#include "ui/Appearance.h"
#include "ui/AppLogo.h"
#include "ui/BusySpinner.h"
#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

namespace {

using Kind = LoginService::Phase::Kind;

constexpr const char* kProductName = "Loomwork";
// The system's ultra-thin material over the blurred window: mostly see-through.
constexpr qreal kMaterialOpacity = 0.55;
constexpr qreal kCardOpacity = 0.96;
constexpr qreal kCardShadowOpacity = 0.18;
constexpr int kCardShadowRadius = 26;
constexpr int kCardShadowOffset = 10;
constexpr qreal kQrShadowOpacity = 0.1;
constexpr int kQrShadowRadius = 8;
constexpr int kQrShadowOffset = 2;
constexpr qreal kOutSymbolPoints = 34;

LoginGateView::UrlOpener& urlOpener()
{
    static LoginGateView::UrlOpener opener;
    return opener;
}

QLabel* textLabel(const QString& text, const QFont& font)
{
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    return label;
}

// Server text: centred, wrapping inside a column of 320.
QLabel* centredLine(const QFont& font)
{
    QLabel* label = textLabel(QString(), font);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label->setWordWrap(true);
    // As wide as the column may be, so that a long text wraps there instead of being cut;
    // a short one still sits in the middle.
    label->setFixedWidth(LoginGateView::kTextWidth);
    return label;
}

void tone(QWidget* widget, const QColor& color, QPalette::ColorRole role = QPalette::WindowText)
{
    QPalette p = widget->palette();
    p.setColor(role, color);
    widget->setPalette(p);
    // Inside a button a label would otherwise draw in the button's text colour.
    if (role == QPalette::WindowText)
        widget->setForegroundRole(QPalette::WindowText);
}

} // namespace

// ---- pieces

// The card: a rounded panel of the window colour that also casts the QR card's shadow
// (a child cannot paint outside itself).
class LoginGateView::Card : public QWidget
{
public:
    explicit Card(QWidget* parent) : QWidget(parent) {}
    QWidget* qr = nullptr;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), kCardRadius, kCardRadius);
        p.fillPath(path, Theme::alpha(palette().color(QPalette::Window), kCardOpacity));
        if (qr && qr->isVisibleTo(this)) {
            const QRect area(qr->mapTo(this, QPoint(0, 0)), qr->size());
            SoftShadow::paint(p, QRectF(area), kQrRadius, kQrShadowRadius, kQrShadowOffset, kQrShadowOpacity);
        }
    }
};

// The white code card: the QR image with sharp pixels, or a spinner until it arrives.
class LoginGateView::QrCard : public QWidget
{
public:
    explicit QrCard(QWidget* parent = nullptr) : QWidget(parent)
    {
        setObjectName(QStringLiteral("qrCard"));
        setFixedSize(kQrSide, kQrSide);
        m_spinner = new BusySpinner(BusySpinner::Size::regular, this);
        m_spinner->move((kQrSide - m_spinner->width()) / 2, (kQrSide - m_spinner->height()) / 2);
    }

    void setImage(const QImage& image)
    {
        m_image = image;
        m_spinner->setVisible(m_image.isNull());
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), kQrRadius, kQrRadius);
        // White in both appearances: a code must be scanned dark on light.
        p.fillPath(shape, Qt::white);
        if (!m_image.isNull()) {
            const QRectF area = QRectF(rect()).adjusted(kQrPadding, kQrPadding, -kQrPadding, -kQrPadding);
            QSizeF fitted = QSizeF(m_image.size()).scaled(area.size(), Qt::KeepAspectRatio);
            const QRectF target(area.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted);
            p.setRenderHint(QPainter::SmoothPixmapTransform, false);
            p.drawImage(target, m_image);
        }
        QPen pen(Theme::ink(0.1), 0.5);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), kQrRadius - 0.25, kQrRadius - 0.25);
    }

private:
    QImage m_image;
    BusySpinner* m_spinner;
};

// The bordered prominent button: brand fill, white label, optionally a small spinner
// before the label.
class LoginGateView::ProminentButton : public QPushButton
{
public:
    explicit ProminentButton(QWidget* parent = nullptr) : QPushButton(parent)
    {
        setObjectName(QStringLiteral("qrButton"));
        noFocusRing(this);
        setCursor(Qt::PointingHandCursor);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(12, 5, 12, 5);
        row->setSpacing(8);
        row->addStretch();
        m_spinner = new BusySpinner(BusySpinner::Size::small);
        row->addWidget(m_spinner, 0, Qt::AlignVCenter);
        m_label = textLabel(QString(), Theme::calloutFont());
        row->addWidget(m_label, 0, Qt::AlignVCenter);
        row->addStretch();
        setMinimumWidth(kButtonMinWidth + 24);
    }

    void setBusy(bool busy, const QString& text)
    {
        m_spinner->setVisible(busy);
        m_label->setText(text);
        setEnabled(!busy);
        tone(m_label, Theme::textOnAccent(busy ? 0.8 : 1.0));
        update();
    }
    QString label() const { return m_label->text(); }
    bool spinnerShown() const { return m_spinner->isVisibleTo(this); }

    QSize sizeHint() const override { return layout()->sizeHint().expandedTo({minimumWidth(), 28}); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QColor fill = !isEnabled() ? Theme::accentButtonBgDisabled()
                            : isDown()   ? Theme::accentButtonBgDown()
                                         : Theme::accentButtonBg();
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        p.fillPath(path, fill);
    }

private:
    BusySpinner* m_spinner;
    QLabel* m_label;
};

// ---- the gate

LoginGateView::LoginGateView(LoginService* service, QWidget* parent) : QWidget(parent), m_service(service)
{
    setObjectName(QStringLiteral("loginGate"));
    setAttribute(Qt::WA_NoMousePropagation);
    if (parent) {
        setGeometry(parent->rect());
        parent->installEventFilter(this);
    }

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_card = new Card(this);
    m_card->setObjectName(QStringLiteral("gateCard"));
    m_card->setFixedWidth(kCardWidth);
    outer->addWidget(m_card, 0, Qt::AlignCenter);

    auto* card = new QVBoxLayout(m_card);
    card->setContentsMargins(kCardPadding, kCardPadding, kCardPadding, kCardPadding);
    card->setSpacing(kCardSpacing);

    // Header
    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    auto* brand = new QHBoxLayout;
    brand->setSpacing(8);
    brand->setContentsMargins(0, 0, 0, 2);
    brand->addStretch();
    brand->addWidget(new AppLogo(22), 0, Qt::AlignVCenter);
    m_productName = textLabel(QString::fromLatin1(kProductName), Theme::pageTitleFont());
    brand->addWidget(m_productName, 0, Qt::AlignVCenter);
    brand->addStretch();
    header->addLayout(brand);
    m_tagline = textLabel(QStringLiteral("扫码关注公众号即可自动登录"), Theme::calloutFont());
    m_tagline->setAlignment(Qt::AlignHCenter);
    header->addWidget(m_tagline);
    card->addLayout(header);

    // Checking
    m_checking = new QWidget;
    m_checking->setObjectName(QStringLiteral("checkingContent"));
    m_checking->setFixedHeight(kPhaseHeight);
    auto* checking = new QVBoxLayout(m_checking);
    checking->setContentsMargins(0, 0, 0, 0);
    checking->setSpacing(10);
    checking->addStretch();
    checking->addWidget(new BusySpinner(BusySpinner::Size::regular), 0, Qt::AlignHCenter);
    m_checkingText = textLabel(QStringLiteral("正在校验登录状态…"), Theme::captionFont());
    checking->addWidget(m_checkingText, 0, Qt::AlignHCenter);
    checking->addStretch();
    card->addWidget(m_checking);

    // Logged out
    m_loggedOut = new QWidget;
    m_loggedOut->setObjectName(QStringLiteral("loggedOutContent"));
    m_loggedOut->setFixedHeight(kPhaseHeight);
    auto* out = new QVBoxLayout(m_loggedOut);
    out->setContentsMargins(0, 0, 0, 0);
    out->setSpacing(14);
    out->addStretch();
    m_outSymbol = new QLabel(SymbolIcon::glyph(QStringLiteral("wifi.exclamationmark")));
    m_outSymbol->setFont(SymbolIcon::font(kOutSymbolPoints));
    m_outSymbol->setAlignment(Qt::AlignCenter);
    out->addWidget(m_outSymbol, 0, Qt::AlignHCenter);
    m_reason = centredLine(Theme::captionFont());
    m_reason->setObjectName(QStringLiteral("reasonLabel"));
    out->addWidget(m_reason, 0, Qt::AlignHCenter);
    m_qrButton = new ProminentButton;
    connect(m_qrButton, &QPushButton::clicked, this, [this] {
        if (m_service)
            m_service->requestQrcode();
    });
    out->addWidget(m_qrButton, 0, Qt::AlignHCenter);
    out->addStretch();
    card->addWidget(m_loggedOut);

    // Waiting for the scan
    m_scan = new QWidget;
    m_scan->setObjectName(QStringLiteral("scanContent"));
    m_scan->setMinimumHeight(kScanMinHeight);
    auto* scan = new QVBoxLayout(m_scan);
    scan->setContentsMargins(0, 0, 0, 0);
    scan->setSpacing(12);
    scan->addStretch();
    m_qrCard = new QrCard;
    m_card->qr = m_qrCard;
    scan->addWidget(m_qrCard, 0, Qt::AlignHCenter);
    m_hint = centredLine(Theme::captionFont());
    m_hint->setObjectName(QStringLiteral("hintLabel"));
    scan->addWidget(m_hint, 0, Qt::AlignHCenter);
    auto* refresh = new QHBoxLayout;
    refresh->setSpacing(14);
    refresh->addStretch();
    m_refreshButton = new QPushButton(QStringLiteral("刷新二维码"));
    m_refreshButton->setObjectName(QStringLiteral("refreshButton"));
    m_refreshButton->setFlat(true);
    m_refreshButton->setCursor(Qt::PointingHandCursor);
    noFocusRing(m_refreshButton);
    connect(m_refreshButton, &QPushButton::clicked, this, [this] {
        if (m_service)
            m_service->requestQrcode();
    });
    refresh->addWidget(m_refreshButton, 0, Qt::AlignVCenter);
    m_refreshSpinner = new BusySpinner(BusySpinner::Size::small);
    m_refreshSpinner->setObjectName(QStringLiteral("refreshSpinner"));
    refresh->addWidget(m_refreshSpinner, 0, Qt::AlignVCenter);
    refresh->addStretch();
    scan->addLayout(refresh);
    scan->addStretch();
    card->addWidget(m_scan);

    // Footer
    m_helpButton = new QPushButton(helpLabel(ServerConfig::webHost()));
    m_helpButton->setObjectName(QStringLiteral("helpButton"));
    m_helpButton->setFlat(true);
    m_helpButton->setFont(Theme::tinyFont());
    m_helpButton->setCursor(Qt::PointingHandCursor);
    noFocusRing(m_helpButton);
    connect(m_helpButton, &QPushButton::clicked, this, &LoginGateView::openHelp);
    card->addWidget(m_helpButton, 0, Qt::AlignHCenter);

    if (m_service) {
        connect(m_service, &LoginService::phaseChanged, this, &LoginGateView::phaseChanged);
        connect(m_service, &LoginService::qrcodeChanged, this, &LoginGateView::sync);
        connect(m_service, &LoginService::hintTextChanged, this, &LoginGateView::sync);
        connect(m_service, &LoginService::isRefreshingChanged, this, &LoginGateView::sync);
    }
    connect(&Appearance::instance(), &Appearance::changed, this, &LoginGateView::sync);

    const bool covering = !m_service || !m_service->phase().isLoggedIn();
    m_covering = covering;
    setVisible(covering);
    sync();
}

LoginGateView::~LoginGateView() = default;

void LoginGateView::sync()
{
    const Kind kind = m_service ? m_service->phase().kind : Kind::checking;
    m_checking->setVisible(kind == Kind::checking);
    m_loggedOut->setVisible(kind == Kind::loggedOut);
    m_scan->setVisible(kind == Kind::waitingScan);

    const bool refreshing = m_service && m_service->isRefreshing();
    const std::optional<QString> reason = m_service ? m_service->phase().reason : std::nullopt;
    // The server's and the service's texts are shown as they are, never looked up.
    m_reason->setText(reason.value_or(QString()));
    m_reason->setVisible(kind == Kind::loggedOut && reason.has_value());
    m_qrButton->setBusy(refreshing, refreshing ? QStringLiteral("获取二维码…") : QStringLiteral("获取登录二维码"));

    m_qrCard->setImage(m_service ? m_service->qrcode() : QImage());
    const QString hint = m_service ? m_service->hintText() : QString();
    m_hint->setText(hint);
    m_hint->setVisible(!hint.isEmpty());
    m_refreshSpinner->setVisible(refreshing);

    tone(m_productName, Theme::textPrimary());
    tone(m_tagline, Theme::textSecondary());
    tone(m_checkingText, Theme::textSecondary());
    tone(m_outSymbol, Theme::textTertiary());
    tone(m_reason, Theme::warning());
    tone(m_hint, Theme::textSecondary());
    tone(m_refreshButton, Theme::accent(), QPalette::ButtonText);
    tone(m_helpButton, Theme::alpha(Theme::accent(), 0.9), QPalette::ButtonText);
    m_card->update();
}

void LoginGateView::phaseChanged()
{
    sync();
    if (!m_service)
        return;
    const LoginService::Phase& phase = m_service->phase();
    if (m_appearedChecking && phase.kind != Kind::checking) {
        m_appearedChecking = false;
        if (phase == LoginService::Phase::loggedOut() && isVisible())
            m_service->requestQrcode();
    }
    setCovering(!phase.isLoggedIn());
}

void LoginGateView::setCovering(bool covering)
{
    if (m_covering == covering)
        return;
    m_covering = covering;
    if (covering)
        show();
    fade(covering);
    emit coveringChanged(covering);
}

void LoginGateView::fade(bool in)
{
    if (m_fade)
        m_fade->stop();
    if (!m_opacity) {
        m_opacity = new QGraphicsOpacityEffect(this);
        setGraphicsEffect(m_opacity);
    }
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(m_opacity->opacity() < 1.0 || !in ? m_opacity->opacity() : 0.0);
    animation->setEndValue(in ? 1.0 : 0.0);
    animation->setDuration(kFadeMs);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    connect(animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { m_opacity->setOpacity(value.toReal()); });
    connect(animation, &QVariantAnimation::finished, this, [this, in] {
        // The effect goes once the fade is over: it would only cost painting.
        setGraphicsEffect(nullptr);
        m_opacity = nullptr;
        if (!in)
            hide();
    });
    m_fade = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void LoginGateView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (parentWidget())
        setGeometry(parentWidget()->rect());
    raise();
    if (event->spontaneous())
        return;
    // Whoever shows the gate may start the service in the same turn; look once that is done.
    QTimer::singleShot(0, this, &LoginGateView::appeared);
}

void LoginGateView::appeared()
{
    if (!m_service || !isVisible())
        return;
    const LoginService::Phase& phase = m_service->phase();
    if (phase.kind == Kind::checking) {
        m_appearedChecking = true;
        return;
    }
    m_appearedChecking = false;
    // Only a user who was never signed in gets a code without asking; after an expiry or
    // a sign-out the user presses the button.
    if (phase == LoginService::Phase::loggedOut())
        m_service->requestQrcode();
}

bool LoginGateView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void LoginGateView::mousePressEvent(QMouseEvent* event)
{
    // Nothing under the gate takes a click.
    event->accept();
}

void LoginGateView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Theme::alpha(palette().color(QPalette::Window), kMaterialOpacity));
    SoftShadow::paint(p, QRectF(m_card->geometry()), kCardRadius, kCardShadowRadius, kCardShadowOffset,
                      kCardShadowOpacity);
}

// ---- help link

QString LoginGateView::helpLabel(const QString& host)
{
    return QStringLiteral("遇到问题？访问 ") + host + QStringLiteral("/help");
}

std::optional<QUrl> LoginGateView::helpUrl(const QString& host)
{
    // Built from a build setting: accept a bare host name only, so that nothing but the
    // site's help page over https can come out of it.
    if (host.isEmpty())
        return std::nullopt;
    for (const QChar c : host) {
        const bool allowed = c.isLetterOrNumber() || c == QLatin1Char('.') || c == QLatin1Char('-');
        if (!allowed || c.unicode() > 0x7F)
            return std::nullopt;
    }
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(host, QUrl::StrictMode);
    url.setPath(QStringLiteral("/help"));
    if (!url.isValid() || url.host().isEmpty() || url.host() != host.toLower())
        return std::nullopt;
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return std::nullopt;
    return url;
}

void LoginGateView::setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

void LoginGateView::openHelp()
{
    const std::optional<QUrl> url = helpUrl(ServerConfig::webHost());
    if (!url)
        return;
    if (urlOpener())
        urlOpener()(*url);
    else
        QDesktopServices::openUrl(*url);
}
