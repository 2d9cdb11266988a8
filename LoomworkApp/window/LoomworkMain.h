#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

class AppDelegate;
class AppState;
class QLocalServer;
class QMainWindow;
class RootView;

// The application: one application state, one main window titled "Loomwork" whose
// content is the root view, and the menu commands. On Linux the desktop starts a new
// process for every opened file, so the first process also listens for the files later
// ones hand over, as the system does for a running application on macOS.
class LoomworkMain : public QObject
{
    Q_OBJECT
public:
    LoomworkMain();
    ~LoomworkMain() override;

    // Hands `files` to a Loomwork already running for this user. True when one took them
    // (this process should then quit).
    static bool forwardToRunningInstance(const QList<QUrl>& files);
    // Qt's own texts (file dialogs, edit menus) in Chinese, like the rest of the app.
    static void installQtTranslations();
    // The local socket the first process listens on for files from later ones.
    static QString instanceName();

    // Builds and shows the main window; `files` are opened once it is up.
    void start(const QList<QUrl>& files);

    AppState* state() const { return m_state; }
    QMainWindow* window() const { return m_window; }
    RootView* rootView() const { return m_root; }

private:
    void buildMenus();
    void listenForOtherInstances();

    AppState* m_state;
    AppDelegate* m_delegate;
    QMainWindow* m_window = nullptr;
    RootView* m_root = nullptr;
    QLocalServer* m_server = nullptr;
};
