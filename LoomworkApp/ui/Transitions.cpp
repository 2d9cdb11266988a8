#include "ui/Transitions.h"

#include <QEasingCurve>
#include <QGraphicsOpacityEffect>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QWidget>

namespace {

const char* const kName = "loomworkTransition";

// Stops the widget's running transition and leaves it at rest (no effect, no height cap).
void settle(QWidget* widget)
{
    if (auto* running = widget->findChild<QAbstractAnimation*>(QLatin1String(kName), Qt::FindDirectChildrenOnly)) {
        running->stop();
        delete running;
    }
    widget->setGraphicsEffect(nullptr);
    widget->setMaximumHeight(QWIDGETSIZE_MAX);
}

QPropertyAnimation* opacity(QWidget* widget, qreal from, qreal to, int ms, QObject* parent)
{
    auto* effect = new QGraphicsOpacityEffect(widget);
    effect->setOpacity(from);
    widget->setGraphicsEffect(effect);
    auto* animation = new QPropertyAnimation(effect, "opacity", parent);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(ms);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    return animation;
}

QPropertyAnimation* height(QWidget* widget, int from, int to, int ms, QObject* parent)
{
    auto* animation = new QPropertyAnimation(widget, "maximumHeight", parent);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(ms);
    animation->setEasingCurve(QEasingCurve::OutCubic);
    return animation;
}

void run(QWidget* widget, QAbstractAnimation* animation, std::function<void()> atEnd)
{
    animation->setObjectName(QLatin1String(kName));
    QObject::connect(animation, &QAbstractAnimation::finished, widget, [widget, animation, atEnd] {
        animation->deleteLater();
        animation->setObjectName(QString());
        widget->setGraphicsEffect(nullptr);
        widget->setMaximumHeight(QWIDGETSIZE_MAX);
        if (atEnd)
            atEnd();
    });
    animation->start();
}

} // namespace

namespace Transitions {

void fadeIn(QWidget* widget, int ms)
{
    settle(widget);
    widget->show();
    auto* group = new QParallelAnimationGroup(widget);
    group->addAnimation(opacity(widget, 0, 1, ms, group));
    run(widget, group, {});
}

void fadeOut(QWidget* widget, int ms, std::function<void()> finished)
{
    settle(widget);
    auto* group = new QParallelAnimationGroup(widget);
    group->addAnimation(opacity(widget, 1, 0, ms, group));
    run(widget, group, [widget, finished] {
        widget->hide();
        if (finished)
            finished();
    });
}

void slideIn(QWidget* widget, int ms)
{
    settle(widget);
    widget->show();
    auto* group = new QParallelAnimationGroup(widget);
    group->addAnimation(opacity(widget, 0, 1, ms, group));
    group->addAnimation(height(widget, 0, widget->sizeHint().height(), ms, group));
    widget->setMaximumHeight(0);
    run(widget, group, {});
}

void slideOut(QWidget* widget, int ms)
{
    settle(widget);
    auto* group = new QParallelAnimationGroup(widget);
    group->addAnimation(opacity(widget, 1, 0, ms, group));
    group->addAnimation(height(widget, widget->height(), 0, ms, group));
    run(widget, group, [widget] { widget->hide(); });
}

} // namespace Transitions
