#pragma once

#include <functional>

#include <QEasingCurve>
#include <QObject>
#include <QPointer>

class QTimer;
class QVariantAnimation;

// The clock behind the drop hint: a keyframe script on the package mark (pop, wobble,
// light sweep, glow), then a wave through the letters, then a pause, then again.
class MarkAnimator : public QObject
{
    Q_OBJECT
public:
    static MarkAnimator& shared();
    explicit MarkAnimator(QObject* parent = nullptr);

    qreal scale() const { return m_scale; }
    qreal tilt() const { return m_tilt; }
    qreal sweep() const { return m_sweep; }
    qreal glow() const { return m_glow; }
    qreal wave() const { return m_wave; }

    // Seconds between the end of one run and the start of the next.
    qreal idleGap = 2.0;
    // Set by the first starter so that the loop starts once per process.
    bool started = false;

    // After `seconds`, play and then keep scheduling with idleGap.
    void scheduleNext(qreal seconds);
    // Runs the keyframe script and the wave; `completion` when the wave ends.
    void play(std::function<void()> completion);
    // Runs the letter wave for 2 s; a second call replaces the running wave, whose
    // completion is then never called.
    void startWave(std::function<void()> completion);

    // Seconds on a monotonic clock (tests replace it).
    using Clock = std::function<qreal()>;
    void setClock(Clock clock);

    static constexpr int kWaveTickMs = 25;
    static constexpr qreal kWaveSeconds = 2.0;

signals:
    void changed();

private:
    enum Field {
        fieldScale,
        fieldTilt,
        fieldSweep,
        fieldGlow,
        fieldCount
    };
    void set(Field field, qreal value);
    void animate(Field field, qreal to, int durationMs, const QEasingCurve& curve);
    void spring(Field field, qreal to, qreal response, qreal damping);
    qreal& ref(Field field);

    qreal m_scale = 1.0;
    qreal m_tilt = 0;
    qreal m_sweep = -1.0;
    qreal m_glow = 0;
    qreal m_wave = -1.0;
    QPointer<QVariantAnimation> m_animations[fieldCount];
    QTimer* m_waveTimer = nullptr;
    Clock m_clock;
};
