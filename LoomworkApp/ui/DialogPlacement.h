#pragma once

#include <optional>

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

// Where alerts, panels and dialog windows go, computed from plain facts about the
// application's windows so that the rules can be checked without a screen.
class DialogPlacement
{
public:
    struct WindowFacts {
        QRect frame;                // frame including decorations, global coordinates
        bool visible = true;
        bool canBecomeMain = true;  // a normal top-level window (not a popup, tool or tooltip)
        bool isPanel = false;       // an alert, file panel or sheet
        bool isDialogWindow = false;
        QString identifier;
    };
    using Windows = QList<WindowFacts>;

    static constexpr int kMargin = 16;
    static constexpr int kMinHostWidth = 900;
    static inline const QString kDialogIdentifierPrefix = QStringLiteral("loomwork.dialog.");

    // Alerts and panels: key window, main window, then every window in order; the first
    // that is visible, can become main and is not a panel.
    static std::optional<int> alertHost(const Windows& windows, std::optional<int> key,
                                        std::optional<int> main);
    // Dialog windows: as alertHost but also no dialog window, no dialog identifier and at
    // least 900 wide; past key and main, the largest qualifying window (first on ties).
    static std::optional<int> dialogHost(const Windows& windows, std::optional<int> key,
                                         std::optional<int> main, std::optional<int> excluded);
    // The window a dialog is placed over: the dialog host, else the first visible normal
    // window that is not the dialog itself. None means centring on the screen.
    static std::optional<int> placementHost(const Windows& windows, std::optional<int> key,
                                            std::optional<int> main, std::optional<int> excluded);

    // Top-left corner that centres `size` on `host`, then keeps 16 from each edge of the
    // screen's available area. When the window is larger than the area the right and top
    // limits win, so its title bar stays reachable.
    static QPoint placedOrigin(QSize size, const QRect& host, std::optional<QRect> available);
    // Top-left corner that centres `size` on `host` (alerts).
    static QPoint centredOrigin(QSize size, const QRect& host);
};
