#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

class AppDelegate;
class AppState;
class InstanceGuard;
class QMainWindow;
class RootView;

// The application: one application state, one main window titled "Loomwork" whose
// content is the root view, and the menu commands. Files later launches hand over to
// this instance (InstanceGuard) open here, as the system does for a running application
// on macOS.
class LoomworkMain : public QObject
{
    Q_OBJECT
public:
    LoomworkMain();
    ~LoomworkMain() override;

    // The whole run of the application, as main() starts it: the web engine's switches,
    // the QApplication, one instance per user, the appearance, the main window, the event
    // loop. Returns the exit status.
    static int run(int& argc, char** argv);

    // Qt's own texts (file dialogs, edit menus) in Chinese, like the rest of the app.
    static void installQtTranslations();
    // Builds and shows the main window; `files` are opened once it is up, and so are the
    // files `instance` receives from later launches.
    void start(const QList<QUrl>& files, InstanceGuard* instance = nullptr);

    AppState* state() const { return m_state; }
    QMainWindow* window() const { return m_window; }
    RootView* rootView() const { return m_root; }

private:
    void buildMenus();
    void openHandedOver(const QList<QUrl>& files);

    AppState* m_state;
    AppDelegate* m_delegate;
    QMainWindow* m_window = nullptr;
    RootView* m_root = nullptr;
};
