#include "market/BiliWebPlayer.h"

#include <algorithm>

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <QWebEngineDownloadRequest>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "online/BiliVideo.h"
#include "ui/Theme.h"

namespace {

constexpr int kLineHeight = 28;
constexpr int kLinePadding = 14;
constexpr int kLineMargin = 16;
constexpr qreal kLineScrimOpacity = 0.6;

// Qt 6.4 reports a script's navigation after the page has loaded as a link click, so it is
// cancelled like one; while the page loads it comes as a redirect.
BiliVideo::Starter starterOf(QWebEnginePage::NavigationType type)
{
    return type == QWebEnginePage::NavigationTypeRedirect || type == QWebEnginePage::NavigationTypeOther
        ? BiliVideo::Starter::page
        : BiliVideo::Starter::user;
}

class PlayerPage : public QWebEnginePage {
public:
    explicit PlayerPage(QWebEngineProfile* profile, QObject* parent)
        : QWebEnginePage(profile, parent)
    {
        connect(this, &QWebEnginePage::featurePermissionRequested, this,
                [this](const QUrl& origin, QWebEnginePage::Feature feature) {
                    setFeaturePermission(origin, feature, QWebEnginePage::PermissionDeniedByUser);
                });
    }

protected:
    // A refused address goes nowhere, never to the desktop.
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool) override
    {
        return BiliVideo::allowsNavigation(url, starterOf(type));
    }

    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }
};

// A capsule over the page: readable on the black ground and on whatever page stayed.
class FailureLine : public QLabel {
public:
    explicit FailureLine(QWidget* parent)
        : QLabel(QString::fromUtf8(BiliWebPlayer::failedText), parent)
    {
        setTextFormat(Qt::PlainText);
        setAlignment(Qt::AlignCenter);
        setFont(Theme::font(12));
        setContentsMargins(kLinePadding, 0, kLinePadding, 0);
        QPalette colours = palette();
        colours.setColor(QPalette::WindowText, Theme::onPicture());
        setPalette(colours);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        hide();
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        {
            QPainter p(this);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(Theme::scrim(kLineScrimOpacity));
            p.drawRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
        }
        QLabel::paintEvent(event);
    }
};

} // namespace

BiliWebPlayer::BiliWebPlayer(const QUrl& url, QWidget* parent)
    : QWidget(parent)
    , m_profile(new QWebEngineProfile(this)) // no storage name: off the record
    , m_view(new QWebEngineView(this))
{
    m_failure = new FailureLine(this);
    m_profile->setHttpUserAgent(QString::fromLatin1(BiliVideo::userAgent));
    connect(m_profile, &QWebEngineProfile::downloadRequested, this,
            [](QWebEngineDownloadRequest* download) { download->cancel(); });
    auto* page = new PlayerPage(m_profile, m_view);
    page->settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
    // The engine's own error pages are English and offer Reload and Details: a failed load
    // leaves the view as it was, and the line below says so.
    page->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    page->setBackgroundColor(Qt::black);
    m_view->setPage(page);
    m_view->setContextMenuPolicy(Qt::NoContextMenu);
    // The engine commits some addresses without asking the page first; one that no navigation
    // may reach loads again where the player was (not "back": history skips entries a script
    // added). A commit tells not who started it, so the page's own allowance holds here: a
    // redirect the page followed to another host stays.
    connect(m_view, &QWebEngineView::urlChanged, this, [this](const QUrl& now) {
        if (now.isEmpty())
            return;
        if (BiliVideo::allowsNavigation(now, BiliVideo::Starter::page))
            m_lastAllowed = now;
        else
            m_view->load(m_lastAllowed.isEmpty() ? m_url : m_lastAllowed);
    });
    connect(m_view, &QWebEngineView::loadStarted, this, [this] { m_loading = true; });
    connect(m_view, &QWebEngineView::loadFinished, this, [this] { m_loading = false; });
    // A refused navigation ends as stopped, not failed, and the page stays: no line for it.
    connect(page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus)
            showFailure(true);
        else if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus)
            showFailure(false);
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    setUrl(url);
}

BiliWebPlayer::~BiliWebPlayer()
{
    // The page must go before its profile.
    delete m_view;
}

void BiliWebPlayer::setUrl(const QUrl& url)
{
    if (m_view->url().toString() == url.toString() && !m_url.isEmpty())
        return;
    if (m_loading && m_url == url)
        return;
    m_url = url;
    showFailure(false);
    m_view->load(url);
}

void BiliWebPlayer::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeFailure();
}

void BiliWebPlayer::showFailure(bool shown)
{
    m_failure->setVisible(shown);
    if (shown) {
        m_failure->raise();
        placeFailure();
    }
}

void BiliWebPlayer::placeFailure()
{
    const int w = std::min(m_failure->sizeHint().width(), width() - 2 * kLineMargin);
    m_failure->setGeometry((width() - w) / 2, (height() - kLineHeight) / 2, w, kLineHeight);
}
