#include "ui/BaseButton.h"

#include <QEnterEvent>
#include <QEvent>

BaseButton::BaseButton(QWidget* parent) : QAbstractButton(parent)
{
    m_last = state();
    // pressed() and released() also come when the press is cancelled by leaving.
    connect(this, &QAbstractButton::pressed, this, [this] { notify(m_last); });
    connect(this, &QAbstractButton::released, this, [this] { notify(m_last); });
}

BaseButton::State BaseButton::state() const
{
    return State{m_over, isDown(), !isEnabled()};
}

void BaseButton::onStateChanged(State)
{
    update();
}

void BaseButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    setOver(true);
}

void BaseButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    setOver(false);
}

void BaseButton::changeEvent(QEvent* event)
{
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        notify(m_last);
}

void BaseButton::setOver(bool over)
{
    m_over = over;
    notify(m_last);
}

void BaseButton::notify(State previous)
{
    const State now = state();
    if (now == previous)
        return;
    m_last = now;
    onStateChanged(previous);
}
