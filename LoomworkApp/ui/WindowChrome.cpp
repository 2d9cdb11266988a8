#include "ui/WindowChrome.h"

#include <QMainWindow>
#include <QToolBar>

QToolBar* WindowChrome::apply(QWidget* window, const QString& identifier, bool compact)
{
    if (compact)
        return nullptr;
    auto* main = qobject_cast<QMainWindow*>(window);
    if (!main)
        return nullptr;
    auto* toolbar = new QToolBar(main);
    toolbar->setObjectName(identifier);
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->toggleViewAction()->setEnabled(false);
    main->setContextMenuPolicy(Qt::NoContextMenu);
    main->addToolBar(Qt::TopToolBarArea, toolbar);
    main->setUnifiedTitleAndToolBarOnMac(true);
    toolbar->setVisible(true);
    return toolbar;
}
