#include "ui/DialogPlacement.h"

#include <algorithm>

namespace {

bool validIndex(const DialogPlacement::Windows& windows, std::optional<int> i)
{
    return i && *i >= 0 && *i < windows.size();
}

bool normalWindow(const DialogPlacement::WindowFacts& w)
{
    return w.visible && w.canBecomeMain && !w.isPanel;
}

bool qualifiesAsDialogHost(const DialogPlacement::WindowFacts& w)
{
    return normalWindow(w) && !w.isDialogWindow
        && !w.identifier.startsWith(DialogPlacement::kDialogIdentifierPrefix)
        && w.frame.width() >= DialogPlacement::kMinHostWidth;
}

} // namespace

std::optional<int> DialogPlacement::alertHost(const Windows& windows, std::optional<int> key,
                                              std::optional<int> main)
{
    for (std::optional<int> candidate : {key, main}) {
        if (validIndex(windows, candidate) && normalWindow(windows[*candidate]))
            return candidate;
    }
    for (int i = 0; i < windows.size(); ++i) {
        if (normalWindow(windows[i]))
            return i;
    }
    return std::nullopt;
}

std::optional<int> DialogPlacement::dialogHost(const Windows& windows, std::optional<int> key,
                                               std::optional<int> main,
                                               std::optional<int> excluded)
{
    auto qualifies = [&](int i) { return i != excluded && qualifiesAsDialogHost(windows[i]); };
    for (std::optional<int> candidate : {key, main}) {
        if (validIndex(windows, candidate) && qualifies(*candidate))
            return candidate;
    }
    std::optional<int> best;
    qint64 bestArea = -1;
    for (int i = 0; i < windows.size(); ++i) {
        if (!qualifies(i))
            continue;
        const qint64 area = qint64(windows[i].frame.width()) * windows[i].frame.height();
        if (area > bestArea) {
            best = i;
            bestArea = area;
        }
    }
    return best;
}

std::optional<int> DialogPlacement::placementHost(const Windows& windows, std::optional<int> key,
                                                  std::optional<int> main,
                                                  std::optional<int> excluded)
{
    if (auto host = dialogHost(windows, key, main, excluded))
        return host;
    for (int i = 0; i < windows.size(); ++i) {
        if (i != excluded && normalWindow(windows[i]))
            return i;
    }
    return std::nullopt;
}

QPoint DialogPlacement::placedOrigin(QSize size, const QRect& host, std::optional<QRect> available)
{
    QPoint origin = centredOrigin(size, host);
    if (!available)
        return origin;
    const QRect& v = *available;
    int x = origin.x();
    int y = origin.y();
    // Screen y grows downwards here: the top limit is applied last so it wins.
    x = std::max(x, v.left() + kMargin);
    x = std::min(x, v.left() + v.width() - size.width() - kMargin);
    y = std::min(y, v.top() + v.height() - size.height() - kMargin);
    y = std::max(y, v.top() + kMargin);
    return {x, y};
}

QPoint DialogPlacement::centredOrigin(QSize size, const QRect& host)
{
    // Half-point centres round down like integer frames do.
    const int x = host.left() + (host.width() - size.width()) / 2;
    const int y = host.top() + (host.height() - size.height()) / 2;
    return {x, y};
}
