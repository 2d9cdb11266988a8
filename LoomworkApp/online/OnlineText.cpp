#include "online/OnlineText.h"

namespace {

template <typename Drop>
QString trimWith(const QString& text, Drop drop)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && drop(text.at(begin)))
        ++begin;
    while (end > begin && drop(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

bool OnlineText::isBlank(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

bool OnlineText::isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QString OnlineText::trimmed(const QString& text)
{
    return trimWith(text, [](QChar c) { return isBlank(c) || isLineBreak(c); });
}

QString OnlineText::blankTrimmed(const QString& text)
{
    return trimWith(text, isBlank);
}

std::optional<QString> OnlineText::nonEmptyTrimmed(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    QString result = trimmed(*text);
    if (result.isEmpty())
        return std::nullopt;
    return result;
}

QStringList OnlineText::splitLines(const QString& text)
{
    QStringList pieces;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (isLineBreak(text.at(i))) {
            pieces.append(text.mid(start, i - start));
            start = i + 1;
        }
    }
    pieces.append(text.mid(start));
    return pieces;
}
