#pragma once

#include <functional>
#include <optional>

#include <QElapsedTimer>
#include <QString>

struct ZFCProgress;

// Turns the package library's progress reports into a status line and a fraction and hands
// on at most one per interval, so that a large install does not flood the GUI thread. The
// newest report held back is handed on by flush(). Used on one (worker) thread.
class ProgressThrottle
{
public:
    using Deliver = std::function<void(const QString& text, double fraction)>;
    using Clock = std::function<qint64()>; // monotonic milliseconds

    static constexpr qint64 defaultInterval = 33; // about 30 updates a second

    explicit ProgressThrottle(Deliver deliver, qint64 intervalMs = defaultInterval, Clock clock = {});

    void report(const ZFCProgress& progress);
    void flush();

    // Stage label + "：" + subject.
    static QString text(const ZFCProgress& progress);
    // Into 0...1; the library's -1 (amount unknown) shows as 0.
    static double clampedFraction(double fraction);

private:
    qint64 now() const;

    Deliver m_deliver;
    qint64 m_interval;
    Clock m_clock;
    QElapsedTimer m_elapsed;
    std::optional<qint64> m_lastDelivery;
    std::optional<std::pair<QString, double>> m_pending;
};
