#include "ui/WindowWidth.h"

#include <QVariant>
#include <QWidget>

namespace {
const char* const kProperty = "loomworkWindowWidth";
}

void WindowWidth::publish(QWidget* container, int width)
{
    container->setProperty(kProperty, width);
}

int WindowWidth::of(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        const QVariant value = w->property(kProperty);
        if (value.isValid())
            return value.toInt();
    }
    return kDefault;
}
