#include "shell/ShellWindows.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

#include "shell/DialogWindow.h"

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

ShellWindows ShellWindows::snapshot()
{
    ShellWindows s;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isWindow())
            continue;
        s.widgets.append(w);
        s.facts.append(factsOf(w));
    }
    s.key = s.indexOf(QApplication::activeWindow());
    // Qt has no separate main window; the active modal widget's parent comes closest.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->parentWidget())
        s.main = s.indexOf(modal->parentWidget()->window());
    return s;
}

std::optional<int> ShellWindows::indexOf(const QWidget* widget) const
{
    if (!widget)
        return std::nullopt;
    const int i = widgets.indexOf(const_cast<QWidget*>(widget));
    return i < 0 ? std::nullopt : std::optional<int>(i);
}

QWidget* ShellWindows::at(std::optional<int> index) const
{
    return index && *index >= 0 && *index < widgets.size() ? widgets[*index] : nullptr;
}
