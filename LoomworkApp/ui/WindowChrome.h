#pragma once

#include <QString>

class QToolBar;
class QWidget;

// The common title-bar treatment of the application's own windows. The window manager
// draws the title bar here; unless compact, a main window gets an icon-only toolbar
// that cannot be moved or customised.
class WindowChrome
{
public:
    // Returns the toolbar it added, or null (compact, or not a QMainWindow).
    static QToolBar* apply(QWidget* window, const QString& identifier, bool compact);
};
