#pragma once

#include <optional>

#include <QMessageBox>
#include <QPointer>
#include <QToolBar>
#include <QUrl>
#include <QWidget>

#include "engine/model/AppSettings.h"
#include "engine/model/Plugin.h"
#include "account/SettingsTab.h"
#include "sheets/InstallSheet.h"
#include "window/InstallRequestQueue.h"

class AdBarView;
class AppState;
class CompatService;
class DropTargetOverlay;
class LoginGateView;
class LoginService;
class NoticeBar;
class OperationsCenter;
class PluginListView;
class PluginSheets;
class ProgressOverlay;
class QGraphicsBlurEffect;
class QSplitter;
class RemoteConfigService;
class SidebarView;
class UpdateSheet;

// The content of the main window. It owns the window's long-lived services (operations
// runner, login, compatibility table), lays the sidebar beside the plug-in list, keeps
// everything disabled and blurred under the login gate until a user is signed in, takes
// dropped packages, presents the install sheet and the runner's alert, and answers the
// app-wide notifications that ask for an install or a rescan.
class RootView : public QWidget
{
    Q_OBJECT
public:
    explicit RootView(AppState* state, QWidget* parent = nullptr);
    ~RootView() override;

    // The main window's toolbar: shown only while signed in; holds the list's items.
    void setToolbar(QToolBar* toolbar);

    // Keeps the package files of `urls` and asks for the install sheet (it opens as soon
    // as the window can take it).
    void queueInstall(const QList<QUrl>& urls);
    // The files of one drop: packages go to the install sheet, the others are named.
    void handleDrop(const QList<QUrl>& urls);

    bool isSignedIn() const { return m_signedIn; }
    // Opens the settings window, on `tab` when one is given.
    void openSettings(std::optional<SettingsTab> tab);
    static PluginRoot lastInstallRoot();

    OperationsCenter* ops() const { return m_ops; }
    LoginService* login() const { return m_login; }
    CompatService* compat() const { return m_compat; }
    RemoteConfigService* remoteConfig() const { return m_remoteConfig; }
    NoticeBar* noticeBar() const { return m_notice; }
    AdBarView* adBar() const { return m_adBar; }
    UpdateSheet* updateSheet() const;
    SidebarView* sidebar() const { return m_sidebar; }
    PluginListView* list() const { return m_list; }
    PluginSheets* sheets() const { return m_sheets; }
    LoginGateView* gate() const { return m_gate; }
    QWidget* mainInterface() const { return m_main; }
    DropTargetOverlay* dropOverlay() const { return m_dropOverlay; }
    InstallSheet* installSheet() const { return m_sheet; }
    QMessageBox* alert() const { return m_alert; }
    const InstallRequestQueue& installQueue() const { return m_queue; }

    static inline const QString lastInstallRootKey = AppSettings::lastInstallRootKey;

signals:
    void signedInChanged(bool signedIn);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void onLoginPhaseChanged();
    void syncToolbarVisibility();
    void syncAlert();
    void presentInstallSheet(const InstallRequest& request);
    void setDropTargeted(bool targeted);
    void layoutOverlays();
    void raiseOverlays();
    void onNotification(const QString& name, const QVariantMap& userInfo);
    void onRemoteConfigChanged();
    void syncNotice();
    void syncUpdateSheet();

    AppState* m_state;
    OperationsCenter* m_ops;
    LoginService* m_login;
    CompatService* m_compat;
    RemoteConfigService* m_remoteConfig;
    InstallRequestQueue m_queue;

    QWidget* m_main = nullptr;
    QSplitter* m_splitter = nullptr;
    SidebarView* m_sidebar = nullptr;
    PluginListView* m_list = nullptr;
    PluginSheets* m_sheets = nullptr;
    NoticeBar* m_notice = nullptr;
    AdBarView* m_adBar = nullptr;
    QPointer<UpdateSheet> m_updateSheet;
    bool m_configLoaded = false;
    QGraphicsBlurEffect* m_blur = nullptr;
    QWidget* m_dim = nullptr;
    DropTargetOverlay* m_dropOverlay = nullptr;
    ProgressOverlay* m_progress = nullptr;
    LoginGateView* m_gate = nullptr;
    QPointer<QToolBar> m_toolbar;
    QPointer<InstallSheet> m_sheet;
    QPointer<QMessageBox> m_alert;

    bool m_signedIn = false;
    bool m_dropTargeted = false;
    qreal m_sidebarDividerY = 0;
};
