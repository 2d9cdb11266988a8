#include "ui/ScrollbarTuning.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QScrollBar>
#include <QTimer>

#include "ui/ThinScrollBar.h"

namespace {

constexpr int kMinViewportHeight = 20;

} // namespace

void ScrollbarTuning::install()
{
    static QTimer* timer = nullptr;
    if (timer || !qApp)
        return;
    timer = new QTimer(qApp);
    timer->setInterval(kSweepMs);
    timer->setTimerType(Qt::CoarseTimer);
    QObject::connect(timer, &QTimer::timeout, &ScrollbarTuning::sweep);
    timer->start();
    sweep();
}

void ScrollbarTuning::sweep()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            walk(window, 0);
    }
}

void ScrollbarTuning::walk(QWidget* widget, int depth)
{
    if (!widget || depth > kMaxDepth)
        return;
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget))
        attach(area);
    const auto children = widget->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* child : children)
        walk(child, depth + 1);
}

void ScrollbarTuning::attach(QAbstractScrollArea* area)
{
    auto* existing = area->findChild<ThinScrollBar*>(QString(), Qt::FindDirectChildrenOnly);
    if (existing) {
        existing->syncFrame();
        if (area->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff)
            area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        existing->raise();
        return;
    }
    // Areas that never scroll vertically, and those too short to carry a knob, keep theirs.
    if (area->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOff
        || area->viewport()->height() <= kMinViewportHeight)
        return;
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    new ThinScrollBar(area);
}
