#include "online/AppVersion.h"

#include <algorithm>
#include <charconv>

#include "BuildInfo.h"
#include "online/OnlineText.h"
#include "online/ServerConfig.h"

QString AppVersion::current()
{
    const QString version = QString::fromUtf8(BuildInfo::version);
    return version.isEmpty() ? QStringLiteral("0.0.0") : version;
}

QString AppVersion::build()
{
    return OnlineText::trimmed(QString::fromUtf8(BuildInfo::build));
}

QString AppVersion::display()
{
    return display(current(), build());
}

QString AppVersion::display(const QString& version, const QString& buildNumber)
{
    if (buildNumber.isEmpty())
        return version;
    return version + QStringLiteral("（Build ") + buildNumber + QStringLiteral("）");
}

QList<qint64> AppVersion::parts(const QString& version)
{
    QList<qint64> result;
    for (const QString& raw : version.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        const QString piece = OnlineText::blankTrimmed(raw);
        // The leading sign and ASCII digits count ("1-beta" reads 1, "v1" reads 0), so that a
        // pre-release of a newer version still compares as newer.
        QByteArray digits;
        for (qsizetype i = 0; i < piece.size(); ++i) {
            const QChar c = piece.at(i);
            const bool sign = i == 0 && (c == QLatin1Char('+') || c == QLatin1Char('-'));
            if (!sign && (c < QLatin1Char('0') || c > QLatin1Char('9')))
                break;
            if (c != QLatin1Char('+'))
                digits.append(char(c.unicode()));
        }
        qint64 value = 0;
        const char* first = digits.constData();
        const char* last = first + digits.size();
        const auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last)
            value = 0;
        result.append(value);
    }
    return result;
}

bool AppVersion::isNewer(const QString& a, const QString& b)
{
    const QList<qint64> left = parts(a);
    const QList<qint64> right = parts(b);
    const qsizetype count = std::max(left.size(), right.size());
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 x = i < left.size() ? left.at(i) : 0;
        const qint64 y = i < right.size() ? right.at(i) : 0;
        if (x != y)
            return x > y;
    }
    return false;
}

QString AppVersion::toolsPageUrl()
{
    return QStringLiteral("https://") + ServerConfig::webHost() + QStringLiteral("/ruded");
}
