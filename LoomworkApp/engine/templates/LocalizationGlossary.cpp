#include "engine/templates/LocalizationGlossary.h"

#include <algorithm>
#include <mutex>

#include <QList>
#include <QStringList>
#include <QTextBoundaryFinder>

#include "engine/core/EngineText.h"
#include "engine/templates/GlossaryData.h"

namespace {

using Table = LocalizationGlossary::Table;

// A built-in vocabulary of resources/glossary: one "english<TAB>chinese" line per key;
// lines starting with '#' and blank lines are comments.
Table buildTable(std::string_view name)
{
    const std::string_view text = GlossaryData::file(name);
    Table table;
    for (const QByteArray& line : QByteArray::fromRawData(text.data(), qsizetype(text.size())).split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype tab = line.indexOf('\t');
        if (tab > 0)
            table.insert(QString::fromUtf8(line.left(tab)), QString::fromUtf8(line.mid(tab + 1)));
    }
    return table;
}

// The extra terms are swapped whole by merge() while translate() may be reading them on a
// worker: copies of the implicitly shared table are taken under this lock.
std::mutex& extraTermsMutex()
{
    static std::mutex mutex;
    return mutex;
}

Table& extraTermsStore()
{
    static Table table;
    return table;
}

// One user-perceived character (grapheme cluster). Its class is decided by its first scalar.
struct Character
{
    QString text;
    char32_t scalar = 0;
};

char32_t firstScalar(const QString& text)
{
    if (text.isEmpty())
        return 0;
    const QChar first = text.at(0);
    if (first.isHighSurrogate() && text.size() > 1 && text.at(1).isLowSurrogate())
        return QChar::surrogateToUcs4(first, text.at(1));
    return first.unicode();
}

QList<Character> characters(const QString& text)
{
    QList<Character> result;
    if (text.isEmpty())
        return result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (end <= start)
            continue;
        const QString piece = text.mid(start, end - start);
        result.append({piece, firstScalar(piece)});
        start = end;
    }
    if (start < text.size()) {
        const QString piece = text.mid(start);
        result.append({piece, firstScalar(piece)});
    }
    return result;
}

bool isChinese(const Character& c) { return EngineText::isChineseScalar(c.scalar); }
bool isLetter(const Character& c) { return QChar::isLetter(c.scalar); }
bool isNumber(const Character& c) { return QChar::isNumber(c.scalar); }
bool isWhitespace(const Character& c) { return QChar::isSpace(c.scalar); }
bool isUpper(const Character& c) { return QChar::isUpper(c.scalar); }
bool isLower(const Character& c) { return QChar::isLower(c.scalar); }
bool isPunctuationOrSymbol(const Character& c)
{
    return QChar::isPunct(c.scalar) || QChar::isSymbol(c.scalar);
}
bool is(const Character& c, char16_t ch) { return c.text.size() == 1 && c.text.at(0) == QChar(ch); }

QString joined(const QList<Character>& chars, qsizetype from, qsizetype to)
{
    QString out;
    for (qsizetype i = from; i < to; ++i)
        out += chars[i].text;
    return out;
}

// Splits at the characters for which `isSeparator` holds, dropping empty pieces.
template <typename Predicate>
QStringList splitCharacters(const QString& text, Predicate isSeparator)
{
    QStringList parts;
    QString current;
    for (const Character& c : characters(text)) {
        if (isSeparator(c)) {
            if (!current.isEmpty())
                parts.append(current);
            current.clear();
        } else {
            current += c.text;
        }
    }
    if (!current.isEmpty())
        parts.append(current);
    return parts;
}

QStringList splitAtSpaces(const QString& text)
{
    return splitCharacters(text, [](const Character& c) { return is(c, u' '); });
}

// Lower case, runs of spaces, tabs and line feeds collapsed to one space, no ends.
QString normalize(const QString& text)
{
    return splitCharacters(text.toLower(),
                           [](const Character& c) {
                               return is(c, u' ') || is(c, u'\t') || is(c, u'\n');
                           })
        .join(QLatin1Char(' '));
}

enum class PieceKind {
    word,
    chinese,
    punct,
};

struct Piece
{
    QString text;
    PieceKind kind;
};

// Tokens for the word-by-word fallback: splits at blanks, "_" and "-", at camel-case and
// acronym boundaries, and gives each punctuation mark its own piece. Decimal numbers (1.5)
// and initials (A.B) stay whole.
QList<Piece> pieces(const QString& text)
{
    const QList<Character> chars = characters(text);
    const qsizetype n = chars.size();
    QList<Piece> result;
    QString buffer;
    qsizetype bufferCount = 0;
    PieceKind kind = PieceKind::word;
    const auto flush = [&] {
        if (!buffer.isEmpty())
            result.append({buffer, kind});
        buffer.clear();
        bufferCount = 0;
        kind = PieceKind::word;
    };
    const auto append = [&](const Character& c) {
        buffer += c.text;
        ++bufferCount;
    };

    for (qsizetype i = 0; i < n; ++i) {
        const Character& c = chars[i];
        const Character* previous = i > 0 ? &chars[i - 1] : nullptr;
        const Character* next = i + 1 < n ? &chars[i + 1] : nullptr;

        if (isWhitespace(c) || is(c, u'_') || is(c, u'-')) {
            flush();
            continue;
        }
        if (is(c, u'.')) {
            const bool decimal = previous && next && isNumber(*previous) && isNumber(*next);
            const bool initials = bufferCount == 1 && next && isUpper(*next)
                && (i + 2 >= n || !isLower(chars[i + 2]));
            if (decimal || initials) {
                append(c);
                continue;
            }
        }
        if (isPunctuationOrSymbol(c)) {
            flush();
            result.append({c.text, PieceKind::punct});
            continue;
        }
        if (isChinese(c)) {
            flush();
            append(c);
            kind = PieceKind::chinese;
            continue;
        }
        if (previous && isUpper(c)) {
            const bool camelBoundary = isLower(*previous);
            const bool acronymEnd = isUpper(*previous) && next && isLower(*next);
            if (camelBoundary || acronymEnd)
                flush();
        }
        append(c);
        kind = PieceKind::word;
    }
    flush();
    return result;
}

// Trailing numbers or indexes: 2, 12, #3, A1, v2 (at most four characters).
bool isIndexToken(const QString& s)
{
    QList<Character> chars = characters(s);
    if (chars.isEmpty() || chars.size() > 4)
        return false;
    if (is(chars.first(), u'#'))
        chars.removeFirst();
    if (chars.isEmpty())
        return false;
    const auto allNumbers = [&](qsizetype from) {
        return std::all_of(chars.cbegin() + from, chars.cend(),
                           [](const Character& c) { return isNumber(c); });
    };
    if (allNumbers(0))
        return true;
    return chars.size() >= 2 && isLetter(chars.first()) && allNumbers(1);
}

// Singular and stem forms to try for a word the tables do not hold as written.
QStringList stemVariants(const QString& w)
{
    const QList<Character> chars = characters(w);
    const qsizetype n = chars.size();
    const auto endsWith = [&](QStringView suffix) {
        if (n < suffix.size())
            return false;
        for (qsizetype j = 0; j < suffix.size(); ++j) {
            if (!is(chars[n - suffix.size() + j], suffix.at(j).unicode()))
                return false;
        }
        return true;
    };
    const auto without = [&](qsizetype count) { return joined(chars, 0, n - count); };

    QStringList variants;
    if (endsWith(u"ies") && n > 4)
        variants << without(3) + QLatin1Char('y');
    if (endsWith(u"es") && n > 3)
        variants << without(2);
    if (endsWith(u"s") && n > 3 && !endsWith(u"ss"))
        variants << without(1);
    if (endsWith(u"ing") && n > 5)
        variants << without(3) << without(3) + QLatin1Char('e');
    if (endsWith(u"ed") && n > 4)
        variants << without(2) << without(2) + QLatin1Char('e');
    if (endsWith(u"ly") && n > 4)
        variants << without(2);
    if (endsWith(u"ness") && n > 6)
        variants << without(4);
    return variants;
}

// One translation run over a fixed snapshot of the tables.
class Translator
{
public:
    Translator(const Table& bundled, const Table& extra, const Table& general)
        : m_bundled(bundled)
        , m_extra(extra)
        , m_general(general)
    {
    }

    std::optional<QString> translate(const QString& text) const
    {
        const QString t = text.trimmed();
        if (t.isEmpty())
            return std::nullopt;
        const QList<Character> chars = characters(t);
        if (std::any_of(chars.cbegin(), chars.cend(),
                        [](const Character& c) { return isChinese(c); }))
            return t;

        QString prefix;
        for (const Character& c : chars) {
            if (isLetter(c) || isNumber(c) || isWhitespace(c))
                break;
            prefix += c.text;
        }
        if (!prefix.isEmpty()) {
            const QString rest = t.mid(prefix.size()).trimmed();
            if (rest.isEmpty())
                return std::nullopt;
            const std::optional<QString> r = translate(rest);
            if (!r)
                return std::nullopt;
            return prefix + QLatin1Char(' ') + *r;
        }

        const QString key = normalize(t);
        if (auto r = lookup(key))
            return r;
        if (auto r = assemblePhrase(key))
            return r;
        if (auto r = translateIgnoringIndex(t))
            return r;
        return generalTranslate(t);
    }

private:
    // The terms: extra values over the bundled ones.
    std::optional<QString> term(const QString& key) const
    {
        if (const auto it = m_extra.constFind(key); it != m_extra.cend())
            return *it;
        if (const auto it = m_bundled.constFind(key); it != m_bundled.cend())
            return *it;
        return std::nullopt;
    }

    std::optional<QString> lookup(const QString& key) const
    {
        if (auto r = term(key))
            return r;
        if (const auto it = m_general.constFind(key); it != m_general.cend())
            return *it;
        return std::nullopt;
    }

    // Covers the whole name with terms, longest run of words first; all or nothing.
    std::optional<QString> assemblePhrase(const QString& key) const
    {
        const QStringList words = splitAtSpaces(key);
        if (words.isEmpty())
            return std::nullopt;
        QString out;
        qsizetype i = 0;
        while (i < words.size()) {
            bool hit = false;
            for (qsizetype len = std::min<qsizetype>(4, words.size() - i); len >= 1; --len) {
                if (auto value = term(words.mid(i, len).join(QLatin1Char(' ')))) {
                    out += *value;
                    i += len;
                    hit = true;
                    break;
                }
            }
            if (!hit)
                return std::nullopt;
        }
        return out;
    }

    // "Color 2" and "Color A1 2": translate the base, keep up to two trailing indexes.
    std::optional<QString> translateIgnoringIndex(const QString& t) const
    {
        QStringList words = splitAtSpaces(t);
        if (words.size() < 2)
            return std::nullopt;
        QStringList suffix;
        while (words.size() >= 2 && isIndexToken(words.last()) && suffix.size() < 2)
            suffix.prepend(words.takeLast());
        if (suffix.isEmpty())
            return std::nullopt;
        const QString base = normalize(words.join(QLatin1Char(' ')));
        if (characters(base).size() < 2)
            return std::nullopt;
        const std::optional<QString> r = lookup(base);
        if (!r)
            return std::nullopt;
        return (QStringList{*r} + suffix).join(QLatin1Char(' '));
    }

    std::optional<QString> translateToken(const QString& token) const
    {
        const QString w = token.toLower();
        if (auto r = lookup(w))
            return r;
        for (const QString& variant : stemVariants(w)) {
            if (auto r = lookup(variant))
                return r;
        }
        return std::nullopt;
    }

    // Last resort, word by word. Translated neighbours join without a space; an English
    // word keeps spaces around it; punctuation attaches directly.
    std::optional<QString> generalTranslate(const QString& t) const
    {
        QString out;
        bool anyTranslated = false;
        bool first = true;
        bool previousPunct = false;
        bool previousUntranslated = false;
        for (const Piece& piece : pieces(t)) {
            QString text = piece.text;
            const bool punct = piece.kind == PieceKind::punct;
            bool untranslated = false;
            if (piece.kind == PieceKind::word) {
                if (auto r = translateToken(piece.text)) {
                    text = *r;
                    anyTranslated = true;
                } else {
                    untranslated = true;
                }
            } else if (piece.kind == PieceKind::chinese) {
                anyTranslated = true;
            }
            if (!first && !out.isEmpty() && !punct && !previousPunct
                && (untranslated || previousUntranslated))
                out += QLatin1Char(' ');
            out += text;
            first = false;
            previousPunct = punct;
            previousUntranslated = untranslated;
        }
        if (!anyTranslated)
            return std::nullopt;
        return out.trimmed();
    }

    const Table& m_bundled;
    const Table& m_extra;
    const Table& m_general;
};

} // namespace

std::optional<QString> LocalizationGlossary::translate(const QString& text)
{
    const Table extra = extraTerms();
    return Translator(bundledTerms(), extra, LocalizationGeneral::all()).translate(text);
}

void LocalizationGlossary::merge(const Table& extra)
{
    Table fresh;
    for (auto it = extra.cbegin(); it != extra.cend(); ++it) {
        const QString key = normalize(it.key());
        // A blank value from the server would propose an empty parameter name.
        if (key.isEmpty() || it.value().trimmed().isEmpty())
            continue;
        fresh.insert(key, it.value());
    }
    const std::lock_guard lock(extraTermsMutex());
    extraTermsStore().swap(fresh);
}

const LocalizationGlossary::Table& LocalizationGlossary::bundledTerms()
{
    static const Table table = buildTable("terms.tsv");
    return table;
}

LocalizationGlossary::Table LocalizationGlossary::extraTerms()
{
    const std::lock_guard lock(extraTermsMutex());
    return extraTermsStore();
}

LocalizationGlossary::Table LocalizationGlossary::terms()
{
    const Table extra = extraTerms();
    if (extra.isEmpty())
        return bundledTerms();
    Table merged = bundledTerms();
    merged.insert(extra);
    return merged;
}

const QHash<QString, QString>& LocalizationGeneral::words()
{
    static const Table table = buildTable("general.tsv");
    return table;
}

const QHash<QString, QString>& LocalizationGeneral::all()
{
    static const Table table = [] {
        Table merged = LocalizationGeneralExtra::words();
        merged.insert(LocalizationGeneral::words());
        return merged;
    }();
    return table;
}

const QHash<QString, QString>& LocalizationGeneralExtra::words()
{
    static const Table table = buildTable("general-extra.tsv");
    return table;
}
