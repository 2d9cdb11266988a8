#include "ui/ScrollbarTuning.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QEvent>
#include <QScrollBar>

#include "ui/ThinScrollBar.h"

namespace {

constexpr int kMinViewportHeight = 20;

} // namespace

void ScrollbarTuning::install()
{
    static ScrollbarTuning* filter = nullptr;
    if (filter || !qApp)
        return;
    filter = new ScrollbarTuning(qApp);
    qApp->installEventFilter(filter);
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        if (auto* area = qobject_cast<QAbstractScrollArea*>(window))
            attach(area);
        for (QAbstractScrollArea* area : window->findChildren<QAbstractScrollArea*>()) {
            if (area->isVisible())
                attach(area);
        }
    }
}

bool ScrollbarTuning::eventFilter(QObject* watched, QEvent* event)
{
    // Only the type is looked at for the stream of other events. An area is seen when it
    // is shown, and again when its viewport grows (its own resize comes before the viewport's).
    if (event->type() == QEvent::Show) {
        if (auto* area = qobject_cast<QAbstractScrollArea*>(watched))
            attach(area);
    } else if (event->type() == QEvent::Resize) {
        auto* area = qobject_cast<QAbstractScrollArea*>(watched->parent());
        if (area && area->viewport() == watched)
            attach(area);
    }
    return false;
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
