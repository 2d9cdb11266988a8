#pragma once

#include <functional>

class QWidget;

// The short opacity and slide transitions of the views. A new transition of a widget
// replaces the one running; the widget's logical state (shown, hidden) is the caller's
// and is set at once, only the picture follows.
namespace Transitions {

// Shows `widget` and fades it in.
void fadeIn(QWidget* widget, int ms);
// Fades `widget` out, then hides it and calls `finished`.
void fadeOut(QWidget* widget, int ms, std::function<void()> finished = {});
// Shows `widget` growing from height 0 under the top edge while fading in.
void slideIn(QWidget* widget, int ms);
// Shrinks `widget` to height 0 while fading out, then hides it.
void slideOut(QWidget* widget, int ms);

} // namespace Transitions
