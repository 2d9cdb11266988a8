#include "window/RootView.h"

#include <algorithm>
#include <cmath>

#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGraphicsBlurEffect>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "engine/model/AppSettings.h"
#include "engine/library/AppState.h"
#include "engine/core/NotificationHub.h"
#include "engine/operations/OperationsCenter.h"
#include "online/CompatService.h"
#include "online/LoginService.h"
#include "ui/AppAlert.h"
#include "ui/DimState.h"
#include "ui/Theme.h"
#include "ui/WindowWidth.h"
#include "account/LoginGateView.h"
#include "account/SettingsWindowController.h"
#include "library/PluginListView.h"
#include "library/PluginSearchBar.h"
#include "library/SidebarView.h"
#include "market/MarketWindowController.h"
#include "online/RemoteConfigService.h"
#include "promo/AdBarView.h"
#include "promo/NoticeBar.h"
#include "promo/PromoCarousel.h"
#include "promo/UpdateSheet.h"
#include "sheets/InstallSheet.h"
#include "window/DropIntake.h"
#include "window/DropTargetOverlay.h"
#include "window/PluginSheets.h"
#include "window/ProgressOverlay.h"

namespace {

constexpr int kSidebarMinWidth = 230;
constexpr int kSidebarIdealWidth = 256;
constexpr int kSidebarMaxWidth = 330;
constexpr qreal kSignedOutBlurRadius = 5;
constexpr qreal kDimOpacity = 0.26;
constexpr qreal kDividerTolerance = 0.5;

// Black wash over the window while a dimming dialog is open; never takes clicks.
class DimLayer : public QWidget
{
public:
    explicit DimLayer(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("dimLayer"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::scrim(kDimOpacity));
    }
};

QList<QUrl> urlsFrom(const QVariant& value)
{
    QList<QUrl> urls;
    for (const QVariant& item : value.toList()) {
        if (item.canConvert<QUrl>() && item.toUrl().isValid())
            urls.append(item.toUrl());
    }
    return urls;
}

} // namespace

RootView::RootView(AppState* state, QWidget* parent)
    : QWidget(parent)
    , m_state(state)
    , m_ops(new OperationsCenter(this))
    , m_login(new LoginService(this))
    , m_compat(new CompatService(this))
    , m_remoteConfig(new RemoteConfigService(this))
{
    setAcceptDrops(true);

    m_main = new QWidget(this);
    auto* mainLayout = new QHBoxLayout(m_main);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    m_splitter = new QSplitter(Qt::Horizontal, m_main);
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setHandleWidth(1);
    mainLayout->addWidget(m_splitter);

    SidebarView::Callbacks callbacks;
    callbacks.onOpenMarket = [this] { MarketWindowController::shared().show(m_login); };
    callbacks.onOpenSettings = [this] { openSettings(SettingsTab::appearance); };
    callbacks.onOpenAccount = [this] { openSettings(SettingsTab::account); };
    callbacks.onDividerY = [this](qreal y) {
        if (qAbs(y - m_sidebarDividerY) > kDividerTolerance) {
            m_sidebarDividerY = y;
            // The banner is as tall as the sidebar's user area, so that their tops are level.
            if (m_adBar)
                m_adBar->setBannerFixedHeight(y > 30 ? std::optional<qreal>(std::round(y)) : std::nullopt);
        }
    };
    m_sidebar = new SidebarView(m_state, callbacks, m_splitter);
    m_sidebar->setMinimumWidth(kSidebarMinWidth);
    m_sidebar->setMaximumWidth(kSidebarMaxWidth);
    // The detail column: the notice bar, the plug-in list, the advertising bar.
    auto* detail = new QWidget(m_splitter);
    auto* detailLayout = new QVBoxLayout(detail);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->setSpacing(0);
    m_notice = new NoticeBar(QString(), QString(), detail);
    m_notice->hide();
    connect(m_notice, &NoticeBar::closeClicked, m_remoteConfig, &RemoteConfigService::dismissNotice);
    m_list = new PluginListView(m_state, m_ops, [this](const QList<QUrl>& files) { queueInstall(files); },
                                detail);
    m_adBar = new AdBarView(detail);
    detailLayout->addWidget(m_notice);
    detailLayout->addWidget(m_list, 1);
    detailLayout->addWidget(m_adBar);
    m_splitter->addWidget(m_sidebar);
    m_splitter->addWidget(detail);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({kSidebarIdealWidth, WindowWidth::kDefault - kSidebarIdealWidth});
    // Files dropped anywhere on the interface are packages for the root view, never text
    // for the search field.
    m_list->searchBar()->field()->setAcceptDrops(false);

    m_list->setCompatLookup({
        [this](const Plugin& plugin) { return m_compat->compatibilityText(plugin); },
        [this](const Plugin& plugin) { return m_compat->needsUpgrade(plugin); },
    });
    connect(m_compat, &CompatService::tableChanged, m_list, &PluginListView::compatChanged);
    m_sheets = new PluginSheets(m_list, m_state);
    m_list->setOpenVersion([this](const Plugin& plugin) {
        m_sheets->showVersion(plugin, m_compat->table(), m_compat->installedFCP());
    });
    m_list->setOpenLocalize([this](const Plugin& plugin) { m_sheets->showLocalize(plugin); });

    m_blur = new QGraphicsBlurEffect(m_main);
    m_blur->setBlurRadius(kSignedOutBlurRadius);
    m_blur->setBlurHints(QGraphicsBlurEffect::PerformanceHint);
    m_main->setGraphicsEffect(m_blur);

    // The veils cover the whole window, toolbar and menu bar included, so they live in the
    // window itself; the login gate covers this view (the toolbar is hidden behind it).
    QWidget* host = window();
    m_dim = new DimLayer(host);
    m_dim->setVisible(DimState::shared().active());
    connect(&DimState::shared(), &DimState::activeChanged, m_dim, &QWidget::setVisible);

    m_dropOverlay = new DropTargetOverlay(host);
    m_dropOverlay->hide();
    m_progress = new ProgressOverlay(m_ops, host);
    m_gate = new LoginGateView(m_login, this);

    connect(m_login, &LoginService::phaseChanged, this, &RootView::onLoginPhaseChanged);
    connect(m_ops, &OperationsCenter::isBusyChanged, this, [this](bool busy) {
        if (busy) {
            m_queue.setBusy(true);
            return;
        }
        // A failure ends the operation and then raises its alert: a waiting sheet comes
        // after that alert, not beside it.
        QTimer::singleShot(0, this, [this] { m_queue.setBusy(m_ops->isBusy()); });
    });
    connect(m_ops, &OperationsCenter::alertChanged, this, &RootView::syncAlert);
    connect(&m_queue, &InstallRequestQueue::presentRequested, this, &RootView::presentInstallSheet);
    connect(&NotificationHub::instance(), &NotificationHub::posted, this, &RootView::onNotification);
    connect(m_remoteConfig, &RemoteConfigService::configChanged, this, &RootView::onRemoteConfigChanged);
    connect(m_remoteConfig, &RemoteConfigService::showNoticeChanged, this, &RootView::syncNotice);
    connect(m_remoteConfig, &RemoteConfigService::updateChanged, this, &RootView::syncUpdateSheet);
    connect(&SettingsWindowController::shared(), &SettingsWindowController::updateOffered, this,
            [](const UpdateAlert& alert, RemoteConfigService* service, QWidget* host) {
                UpdateSheet::present(alert, *service, host);
            });

    onLoginPhaseChanged();
    layoutOverlays();
}

RootView::~RootView()
{
    // The sheet's callbacks point back here.
    if (m_sheet)
        delete m_sheet.data();
    // The veils in the window go with this view; they were made (and are raised) after it,
    // so a closing window deletes this view first.
    if (window() != this) {
        delete m_progress;
        delete m_dropOverlay;
        delete m_dim;
    }
}

void RootView::setToolbar(QToolBar* toolbar)
{
    m_toolbar = toolbar;
    m_list->installToolbar(toolbar);
    syncToolbarVisibility();
}

PluginRoot RootView::lastInstallRoot()
{
    return AppSettings::lastInstallRoot();
}

void RootView::queueInstall(const QList<QUrl>& urls)
{
    m_queue.queue(urls);
}

void RootView::handleDrop(const QList<QUrl>& urls)
{
    const DropIntake::Outcome outcome = DropIntake::sortDrop(urls);
    if (outcome.alertTitle) {
        // The open alert follows the message that comes after its title.
        m_ops->setAlertTitle(outcome.alertTitle);
        m_ops->setAlertMessage(outcome.alertMessage);
    }
    // With an alert up the sheet waits until it is closed.
    if (!outcome.accepted.isEmpty())
        queueInstall(outcome.accepted);
}

void RootView::onLoginPhaseChanged()
{
    const bool signedIn = m_login->phase().kind == LoginService::Phase::Kind::loggedIn;
    if (signedIn)
        m_sidebar->setMember(m_login->phase().member);
    else
        m_sidebar->setMember(std::nullopt);
    if (signedIn == m_signedIn && m_main->isEnabled() == signedIn)
        return;
    m_signedIn = signedIn;
    m_main->setEnabled(signedIn);
    m_blur->setEnabled(!signedIn);
    m_list->setLoggedIn(signedIn);
    m_queue.setSignedIn(signedIn);
    if (signedIn)
        m_remoteConfig->reload(false);
    if (!signedIn && m_sheet) {
        // No sheet behind the gate; its files come back after the next sign-in.
        InstallSheet* sheet = m_sheet.data();
        m_sheet.clear();
        m_queue.withdraw();
        sheet->reject();
    }
    syncToolbarVisibility();
    emit signedInChanged(signedIn);
}

void RootView::syncToolbarVisibility()
{
    if (m_toolbar)
        m_toolbar->setVisible(m_signedIn);
}

void RootView::syncAlert()
{
    const auto title = m_ops->alertTitle();
    if (!title) {
        if (m_alert)
            m_alert->close();
        return;
    }
    QMessageBox* box = m_alert;
    const bool fresh = !box;
    if (fresh) {
        box = new QMessageBox(window());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setIcon(QMessageBox::Warning);
        box->setWindowTitle(QStringLiteral("Loomwork"));
        box->setWindowModality(Qt::WindowModal);
        box->setTextFormat(Qt::PlainText);
        QPushButton* ok = box->addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
        box->setDefaultButton(ok);
        box->setEscapeButton(ok);
        // Any way of closing clears only the title; the message stays until replaced. The
        // box is forgotten at once, so that a title set before it is deleted gets a new one.
        connect(box, &QDialog::finished, this, [this, box] {
            if (m_alert == box)
                m_alert.clear();
            m_ops->setAlertTitle(std::nullopt);
            m_queue.setAlertShown(false);
        });
        m_alert = box;
        m_queue.setAlertShown(true);
    }
    // The runner sets the title before the message: the open alert follows both.
    box->setText(title->isEmpty() ? QStringLiteral("提示") : *title);
    // File names and server texts are shown as they are, never as markup.
    AppAlert::setPlainInformativeText(*box, m_ops->alertMessage().value_or(QString()));
    if (fresh)
        box->open();
}

void RootView::presentInstallSheet(const InstallRequest& request)
{
    // A newer request replaces an open sheet; the old one's callbacks then do nothing.
    if (m_sheet) {
        InstallSheet* old = m_sheet.data();
        m_sheet.clear();
        old->reject();
    }
    const QUuid id = request.id;
    const QList<QUrl> files = request.files;
    QStringList paths;
    for (const QUrl& url : files)
        paths.append(url.isLocalFile() ? url.toLocalFile() : url.toString());
    const auto isCurrent = [this, id] { return m_queue.current() && m_queue.current()->id == id; };

    auto* sheet = new InstallSheet(
        paths, lastInstallRoot(),
        [isCurrent](PluginRoot root) {
            if (isCurrent())
                AppSettings::setLastInstallRoot(root);
        },
        [this, isCurrent] {
            if (isCurrent())
                m_queue.finish();
        },
        [this, isCurrent, paths](const InstallPlan& plan) {
            if (!isCurrent())
                return;
            m_queue.finish();
            AppSettings::setLastInstallRoot(plan.root);
            AppState* state = m_state;
            m_ops->install(paths, plan, [state] { state->refresh(); });
        },
        window());
    m_sheet = sheet;
    sheet->open();
}

void RootView::onNotification(const QString& name, const QVariantMap& userInfo)
{
    if (name == Notifications::zfcpFilesOpened) {
        const QList<QUrl> urls = urlsFrom(userInfo.value(QStringLiteral("urls")));
        if (!urls.isEmpty())
            queueInstall(urls);
    } else if (name == Notifications::pluginsDidChange) {
        m_state->refresh();
    } else if (name == Notifications::openMarketRequested) {
        // Signed out, the menu command is ignored without a message.
        if (m_login->phase().isLoggedIn())
            MarketWindowController::shared().show(m_login);
    } else if (name == Notifications::openSettingsRequested) {
        // The menu keeps whatever tab the window showed last.
        openSettings(std::nullopt);
    } else if (name == Notifications::openAccountRequested) {
        openSettings(SettingsTab::account);
    }
}

void RootView::openSettings(std::optional<SettingsTab> tab)
{
    SettingsWindowController::shared().show(m_state, m_login, tab);
}

void RootView::setDropTargeted(bool targeted)
{
    if (m_dropTargeted == targeted)
        return;
    m_dropTargeted = targeted;
    m_dropOverlay->setVisible(targeted);
    if (targeted)
        raiseOverlays();
}

void RootView::layoutOverlays()
{
    m_main->setGeometry(rect());
    const QRect wholeWindow = window()->rect();
    m_dim->setGeometry(wholeWindow);
    m_dropOverlay->setGeometry(wholeWindow);
    m_progress->setGeometry(wholeWindow);
    m_gate->setGeometry(rect());
    raiseOverlays();
}

void RootView::raiseOverlays()
{
    // Over the window: the drop target, the progress veil, and over both the dimming of an
    // open dialog. Over this view: the login gate.
    m_dropOverlay->raise();
    m_progress->raise();
    m_dim->raise();
    m_gate->raise();
}

void RootView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    m_login->start();
    m_remoteConfig->load();
    m_compat->load();
    syncToolbarVisibility();
    m_queue.setWindowReady(true);
}

UpdateSheet* RootView::updateSheet() const
{
    return m_updateSheet.data();
}

void RootView::onRemoteConfigChanged()
{
    const RemoteConfig& config = m_remoteConfig->config();
    m_adBar->setConfig(config);
    const QList<PromoCard> cards = config.displayCards();
    auto* carousel = qobject_cast<PromoCarousel*>(m_sidebar->carousel());
    if (cards.isEmpty())
        m_sidebar->setCarousel(nullptr);
    else if (carousel)
        carousel->setCards(cards);
    else
        m_sidebar->setCarousel(new PromoCarousel(cards));
    syncNotice();
}

void RootView::syncNotice()
{
    const RemoteConfig& config = m_remoteConfig->config();
    const std::optional<QString> text = config.noticeText();
    const bool show = m_remoteConfig->showNotice() && text.has_value();
    if (show)
        m_notice->setNotice(config.noticeHeading(), *text);
    m_notice->setVisible(show);
}

void RootView::syncUpdateSheet()
{
    // An open sheet follows the service itself (replaced, or closed when no prompt is left).
    const auto& update = m_remoteConfig->update();
    if (!update || m_updateSheet)
        return;
    m_updateSheet = UpdateSheet::present(*update, *m_remoteConfig, window());
}

void RootView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutOverlays();
    WindowWidth::publish(this, width());
    m_list->setWindowWidth(width());
}

void RootView::dragEnterEvent(QDragEnterEvent* event)
{
    // Only a drag that carries files is taken (links and text are not).
    const QList<QUrl> urls = event->mimeData()->urls();
    const bool carriesFiles = std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
    if (m_signedIn && carriesFiles) {
        event->acceptProposedAction();
        setDropTargeted(true);
    }
}

void RootView::dragMoveEvent(QDragMoveEvent* event)
{
    if (m_dropTargeted)
        event->acceptProposedAction();
}

void RootView::dragLeaveEvent(QDragLeaveEvent* event)
{
    QWidget::dragLeaveEvent(event);
    setDropTargeted(false);
}

void RootView::dropEvent(QDropEvent* event)
{
    setDropTargeted(false);
    QList<QUrl> files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            files.append(url);
    }
    event->acceptProposedAction();
    if (!files.isEmpty())
        handleDrop(files);
}
