#pragma once

#include <optional>

#include <QHash>
#include <QString>

// Proposes a Chinese name for an English parameter name of a Motion template, from three
// built-in English-to-Chinese tables and the extra terms the server sends with the
// compatibility document. Deterministic for a given set of tables; nothing is persisted.
// translate() may run on any thread; merge() swaps the extra terms whole under a lock.
class LocalizationGlossary
{
public:
    using Table = QHash<QString, QString>;

    // The suggestion for one name; the trimmed name itself when it already holds a Chinese
    // character; nullopt when nothing in it could be translated (the caller keeps the name).
    static std::optional<QString> translate(const QString& text);

    // Replaces the extra terms with `extra` (earlier extra terms are dropped). Keys are
    // normalised; empty keys and blank values are skipped.
    static void merge(const Table& extra);

    // The core parameter vocabulary, built once on first use.
    static const Table& bundledTerms();
    // The extra terms currently installed (empty at start).
    static Table extraTerms();
    // bundledTerms with extraTerms over it; extra values win.
    static Table terms();
};

// The general vocabulary consulted after the terms.
namespace LocalizationGeneral {

const QHash<QString, QString>& words();
// words() merged with LocalizationGeneralExtra::words(); words() wins on a shared key.
const QHash<QString, QString>& all();

} // namespace LocalizationGeneral

// A further general vocabulary: effect and look names.
namespace LocalizationGeneralExtra {

const QHash<QString, QString>& words();

} // namespace LocalizationGeneralExtra
