#include "ui/SafeText.h"

#include <algorithm>

#include <QTextDocument>

QString SafeText::singleLine(const QString& text, qsizetype maxLength)
{
    qsizetype length = maxLength < 0 ? text.size() : std::min(text.size(), maxLength);
    if (length > 0 && length < text.size() && text.at(length - 1).isHighSurrogate())
        --length;
    QString line;
    line.reserve(length);
    for (const QChar c : QStringView(text).left(length)) {
        const char16_t u = c.unicode();
        if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069))
            continue;
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            line.append(u' ');
        else
            line.append(c);
    }
    return line;
}

QString SafeText::toolTip(const QString& text)
{
    return text.isEmpty() ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}
