#include "ui/SafeText.h"

#include <algorithm>

#include <QTextDocument>

QString SafeText::singleLine(const QString& text)
{
    QString line;
    line.reserve(std::min<qsizetype>(text.size(), kMaxLength));
    for (const QChar c : QStringView(text).left(kMaxLength)) {
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
