#include "engine/core/ProgressThrottle.h"

#include <cmath>

#include "LoomworkKit/ZFCProgress.h"

ProgressThrottle::ProgressThrottle(Deliver deliver, qint64 intervalMs, Clock clock)
    : m_deliver(std::move(deliver)), m_interval(intervalMs), m_clock(std::move(clock))
{
    m_elapsed.start();
}

QString ProgressThrottle::text(const ZFCProgress& progress)
{
    const std::string_view stage = ZFCProgress::rawValue(progress.stage);
    return QString::fromUtf8(stage.data(), qsizetype(stage.size())) + QStringLiteral("：")
        + QString::fromUtf8(progress.subject.data(), qsizetype(progress.subject.size()));
}

double ProgressThrottle::clampedFraction(double fraction)
{
    if (std::isnan(fraction) || fraction < 0)
        return 0;
    return fraction > 1 ? 1 : fraction;
}

qint64 ProgressThrottle::now() const
{
    return m_clock ? m_clock() : m_elapsed.elapsed();
}

void ProgressThrottle::report(const ZFCProgress& progress)
{
    std::pair<QString, double> value{text(progress), clampedFraction(progress.fraction)};
    const qint64 time = now();
    if (m_lastDelivery && time - *m_lastDelivery < m_interval) {
        m_pending = std::move(value);
        return;
    }
    m_pending.reset();
    m_lastDelivery = time;
    if (m_deliver)
        m_deliver(value.first, value.second);
}

void ProgressThrottle::flush()
{
    if (!m_pending)
        return;
    auto value = std::move(*m_pending);
    m_pending.reset();
    m_lastDelivery = now();
    if (m_deliver)
        m_deliver(value.first, value.second);
}
