#include "library/MarkAnimator.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QVariantAnimation>

namespace {

int ms(qreal seconds)
{
    return qRound(seconds * 1000);
}

} // namespace

MarkAnimator& MarkAnimator::shared()
{
    static MarkAnimator* animator = new MarkAnimator;
    return *animator;
}

MarkAnimator::MarkAnimator(QObject* parent) : QObject(parent)
{
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    m_clock = [elapsed] { return elapsed->nsecsElapsed() / 1e9; };
}

void MarkAnimator::setClock(Clock clock)
{
    m_clock = std::move(clock);
}

qreal& MarkAnimator::ref(Field field)
{
    switch (field) {
    case fieldScale:
        return m_scale;
    case fieldTilt:
        return m_tilt;
    case fieldSweep:
        return m_sweep;
    case fieldGlow:
    case fieldCount:
        break;
    }
    return m_glow;
}

void MarkAnimator::set(Field field, qreal value)
{
    if (m_animations[field])
        m_animations[field]->stop();
    ref(field) = value;
    emit changed();
}

void MarkAnimator::animate(Field field, qreal to, int durationMs, const QEasingCurve& curve)
{
    if (m_animations[field])
        m_animations[field]->stop();
    auto* animation = new QVariantAnimation(this);
    animation->setStartValue(ref(field));
    animation->setEndValue(to);
    animation->setDuration(durationMs);
    animation->setEasingCurve(curve);
    connect(animation, &QVariantAnimation::valueChanged, this, [this, field](const QVariant& v) {
        ref(field) = v.toReal();
        emit changed();
    });
    m_animations[field] = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void MarkAnimator::spring(Field field, qreal to, qreal response, qreal damping)
{
    // A spring of this response settles in about 1.5 responses; less damping, more overshoot.
    QEasingCurve curve(QEasingCurve::OutBack);
    curve.setOvershoot(qreal(1.70158) * (1.0 - damping) * 2.0);
    animate(field, to, ms(response * 1.5), curve);
}

void MarkAnimator::scheduleNext(qreal seconds)
{
    QTimer::singleShot(ms(seconds), this, [this] {
        play([this] { scheduleNext(idleGap); });
    });
}

void MarkAnimator::play(std::function<void()> completion)
{
    spring(fieldScale, 1.34, 0.26, 0.5);
    spring(fieldTilt, -14, 0.26, 0.5);
    QTimer::singleShot(ms(0.17), this, [this] { spring(fieldTilt, 13, 0.18, 0.42); });
    QTimer::singleShot(ms(0.32), this, [this] { spring(fieldTilt, -8, 0.18, 0.5); });
    QTimer::singleShot(ms(0.47), this, [this] { spring(fieldTilt, 0, 0.24, 0.62); });
    QTimer::singleShot(ms(0.55), this, [this] {
        animate(fieldSweep, 1.8, ms(1.05), QEasingCurve::InOutQuad);
        animate(fieldGlow, 0.12, ms(1.05), QEasingCurve::InOutQuad);
    });
    QTimer::singleShot(ms(1.62), this, [this] {
        set(fieldSweep, -1.0);
        animate(fieldGlow, 0, ms(0.22), QEasingCurve::OutQuad);
    });
    QTimer::singleShot(ms(1.68), this, [this] { spring(fieldScale, 1.0, 0.34, 0.72); });
    QTimer::singleShot(ms(2.02), this, [this, completion = std::move(completion)] {
        startWave(completion);
    });
}

void MarkAnimator::startWave(std::function<void()> completion)
{
    delete m_waveTimer;
    m_waveTimer = nullptr;
    m_wave = 0;
    emit changed();
    const qreal start = m_clock();
    auto* timer = new QTimer(this);
    timer->setInterval(kWaveTickMs);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, [this, timer, start, completion = std::move(completion)] {
        const qreal e = m_clock() - start;
        if (e >= kWaveSeconds) {
            timer->stop();
            if (m_waveTimer == timer)
                m_waveTimer = nullptr;
            timer->deleteLater();
            m_wave = -1;
            emit changed();
            if (completion)
                completion();
            return;
        }
        m_wave = e * 0.5;
        emit changed();
    });
    m_waveTimer = timer;
    timer->start();
}
