#pragma once

// Placeholder for the translation glossary, holding only what the compatibility service
// hands over (the extra terms of a fetched table). The real glossary replaces this file.

#include <optional>

#include <QHash>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

class LocalizationGlossary
{
public:
    // Replaces the extra terms; keys are normalised, empty keys and values dropped.
    static void merge(const QHash<QString, QString>& extra)
    {
        QHash<QString, QString> terms;
        for (auto it = extra.cbegin(); it != extra.cend(); ++it) {
            const QString key = normalize(it.key());
            if (!key.isEmpty() && !it.value().isEmpty())
                terms.insert(key, it.value());
        }
        extraTerms() = terms;
    }

    static std::optional<QString> translate(const QString& text)
    {
        const auto found = extraTerms().constFind(normalize(text));
        if (found == extraTerms().cend())
            return std::nullopt;
        return *found;
    }

private:
    static QString normalize(const QString& text)
    {
        return text.toLower().split(QRegularExpression(QStringLiteral("[ \\t\\n]+")), Qt::SkipEmptyParts).join(QLatin1Char(' '));
    }

    static QHash<QString, QString>& extraTerms()
    {
        static QHash<QString, QString> terms;
        return terms;
    }
};
