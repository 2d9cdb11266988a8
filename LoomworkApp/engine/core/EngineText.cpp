#include "engine/core/EngineText.h"

#include <cmath>

#include <QCollator>
#include <QLocale>

namespace {

QString fromView(std::string_view view)
{
    return QString::fromUtf8(view.data(), qsizetype(view.size()));
}

QString trimmedNumber(double value, int decimals)
{
    QString text = QString::number(value, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

} // namespace

QString EngineText::byteCountText(qint64 bytes)
{
    // The Finder's file-size style as a Chinese system shows it.
    if (bytes == 0)
        return QStringLiteral("零 KB");
    if (bytes > -1000 && bytes < 1000)
        return QString::number(bytes) + QStringLiteral(" 字节");
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    static const int decimals[] = {0, 1, 2, 2, 2, 2};
    double value = double(bytes);
    for (int i = 0; i < 6; ++i) {
        value /= 1000.0;
        const double scale = std::pow(10.0, decimals[i]);
        const double rounded = std::round(value * scale) / scale;
        if (std::abs(rounded) < 1000.0 || i == 5)
            return trimmedNumber(rounded, decimals[i]) + QLatin1Char(' ') + QLatin1String(units[i]);
    }
    return QString();
}

namespace {

// QCollator is not safe to share between threads; one per thread.
const QCollator& finderCollator()
{
    thread_local const QCollator collator = [] {
        // The C locale collates by code point and ignores numeric mode; the Finder's
        // default (English) order stands in for it.
        QLocale locale = QLocale::system();
        if (locale.language() == QLocale::C)
            locale = QLocale(QLocale::English, QLocale::UnitedStates);
        QCollator c(locale);
        c.setNumericMode(true);
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    return collator;
}

} // namespace

int EngineText::localizedStandardCompare(const QString& a, const QString& b)
{
    return finderCollator().compare(a, b);
}

QCollatorSortKey EngineText::localizedSortKey(const QString& text)
{
    return finderCollator().sortKey(text);
}

QString EngineText::shortTimeText(const QTime& time)
{
    return time.toString(QStringLiteral("HH:mm"));
}

QString EngineText::dateTimeText(const QDateTime& when)
{
    const QDateTime local = when.toLocalTime();
    return local.date().toString(QStringLiteral("yyyy年M月d日 ")) + shortTimeText(local.time());
}

bool EngineText::isChineseScalar(char32_t c)
{
    return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF);
}

bool EngineText::containsChinese(const QString& text)
{
    for (const char32_t c : text.toUcs4()) {
        if (isChineseScalar(c))
            return true;
    }
    return false;
}

QString EngineText::rawValue(ZFCPluginType type) { return fromView(type.rawValue()); }
QString EngineText::displayName(ZFCPluginType type) { return fromView(type.displayName()); }
QString EngineText::directoryName(ZFCPluginType type) { return fromView(type.directoryName()); }
