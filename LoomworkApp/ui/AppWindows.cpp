#include "ui/AppWindows.h"

#include <QApplication>
#include <QDialog>
#include <QMainWindow>
#include <QWidget>

#include "ui/DialogWindow.h"

namespace {

DialogPlacement::WindowFacts factsOf(QWidget* w)
{
    DialogPlacement::WindowFacts f;
    f.frame = w->frameGeometry();
    f.visible = w->isVisible() && !w->isMinimized();
    const Qt::WindowType type = w->windowType();
    f.canBecomeMain = type == Qt::Window || type == Qt::Dialog;
    f.isPanel = qobject_cast<QDialog*>(w) != nullptr;
    f.isDialogWindow = qobject_cast<DialogWindow*>(w) != nullptr;
    f.identifier = w->objectName();
    return f;
}

} // namespace

AppWindows AppWindows::snapshot()
{
    AppWindows s;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isWindow())
            continue;
        s.widgets.append(w);
        s.facts.append(factsOf(w));
    }
    s.key = s.indexOf(QApplication::activeWindow());
    // Qt keeps no separate main window: take the first visible QMainWindow.
    for (int i = 0; i < s.widgets.size(); ++i) {
        if (qobject_cast<QMainWindow*>(s.widgets[i]) && s.facts[i].visible) {
            s.main = i;
            break;
        }
    }
    return s;
}

std::optional<int> AppWindows::indexOf(const QWidget* widget) const
{
    if (!widget)
        return std::nullopt;
    const int i = widgets.indexOf(const_cast<QWidget*>(widget));
    return i < 0 ? std::nullopt : std::optional<int>(i);
}

QWidget* AppWindows::at(std::optional<int> index) const
{
    return index && *index >= 0 && *index < widgets.size() ? widgets[*index] : nullptr;
}
