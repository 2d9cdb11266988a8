#include "online/MarketInstallStage.h"

#include <algorithm>

std::optional<double> MarketInstallStage::fraction() const
{
    switch (kind) {
    case Kind::downloading:
        if (total < 1)
            return std::nullopt;
        return std::clamp(double(received) / double(total), 0.0, 1.0);
    case Kind::installing:
        return std::clamp(progress, 0.0, 1.0);
    case Kind::done:
        return 1.0;
    case Kind::failed:
    case Kind::idle:
        break;
    }
    return std::nullopt;
}

QString MarketInstallStage::title() const
{
    switch (kind) {
    case Kind::downloading:
        if (total >= 1) {
            // Whole percent, cut: in 64 bits so that 2 GB and more do not overflow.
            const qint64 percent = qint64(double(received) / double(total) * 100.0);
            return QStringLiteral("正在下载 ") + QString::number(percent) + QLatin1Char('%');
        }
        return QStringLiteral("正在下载 ") + mb(received);
    case Kind::installing:
        if (!message.isEmpty())
            return message;
        return QStringLiteral("正在安装 ") + QString::number(qint64(progress * 100.0)) + QLatin1Char('%');
    case Kind::done:
    case Kind::failed:
        return message;
    case Kind::idle:
        break;
    }
    return {};
}

QString MarketInstallStage::mb(qint64 bytes)
{
    if (bytes < 1024)
        return QString::number(bytes) + QStringLiteral(" B");
    if (bytes < 1048576)
        return QString::asprintf("%.0f KB", double(bytes) / 1024.0);
    return QString::asprintf("%.1f MB", double(bytes) / 1048576.0);
}
