#include "engine/templates/TemplateInspector.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <utility>

#include <unistd.h>

#include <QByteArrayView>
#include <QStringDecoder>

#include "engine/core/EngineText.h"
#include "engine/core/FsPath.h"
#include "engine/files/LibraryWalk.h"
#include "engine/files/TemplateChange.h"
#include "engine/templates/VersionNum.h"

namespace {

using FsPath::fromBytes;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::size_t skipSpaces(const QByteArray& s, std::size_t i)
{
    while (i < std::size_t(s.size()) && isSpace(s[qsizetype(i)]))
        ++i;
    return i;
}

bool literalAt(const QByteArray& s, std::size_t i, const char* literal)
{
    const std::size_t n = std::strlen(literal);
    return i + n <= std::size_t(s.size()) && std::memcmp(s.constData() + i, literal, n) == 0;
}

// <ozml\s+version\s*=\s*"([^"]*)"  on raw bytes (the pattern is deterministic, so a
// scan without backtracking matches what the regular expression would).
std::optional<QString> readOzml(const QByteArray& s)
{
    qsizetype from = 0;
    while ((from = s.indexOf("<ozml", from)) >= 0) {
        std::size_t i = std::size_t(from) + 5;
        from += 1;
        const std::size_t afterTag = i;
        i = skipSpaces(s, i);
        if (i == afterTag || !literalAt(s, i, "version"))
            continue;
        i = skipSpaces(s, i + 7);
        if (!literalAt(s, i, "="))
            continue;
        i = skipSpaces(s, i + 1);
        if (!literalAt(s, i, "\""))
            continue;
        const qsizetype close = s.indexOf('"', qsizetype(i) + 1);
        if (close < 0)
            continue;
        return QString::fromUtf8(s.constData() + i + 1, close - qsizetype(i) - 1);
    }
    return std::nullopt;
}

// <displayversion>\s*([^<\s]+)\s*</displayversion>
std::optional<QString> readDisplayVersion(const QByteArray& s)
{
    static const char open[] = "<displayversion>";
    qsizetype from = 0;
    while ((from = s.indexOf(open, from)) >= 0) {
        std::size_t i = skipSpaces(s, std::size_t(from) + sizeof open - 1);
        from += 1;
        const std::size_t start = i;
        while (i < std::size_t(s.size()) && s[qsizetype(i)] != '<' && !isSpace(s[qsizetype(i)]))
            ++i;
        if (i == start)
            continue;
        const std::size_t end = i;
        i = skipSpaces(s, i);
        if (!literalAt(s, i, "</displayversion>"))
            continue;
        return QString::fromUtf8(s.constData() + start, qsizetype(end - start));
    }
    return std::nullopt;
}

// Strict decoding: a file that is not well-formed UTF-8 is not a template we touch. A
// leading byte-order mark is kept, so that encoding the text again gives the same bytes.
std::optional<QString> decodeUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Reading for the name list follows links (it only reads), but never opens FIFOs or devices.
std::optional<QString> readTemplateForNames(const std::string& path)
{
    QByteArray data;
    if (!LibraryWalk::readRegularFile(path, TemplateInspector::kMaxTemplateBytes, data, true))
        return std::nullopt;
    return decodeUtf8(data);
}

std::optional<QString> readForRewrite(TemplateChange& change, const std::string& path)
{
    const auto data = change.read(path, TemplateInspector::kMaxTemplateBytes);
    return data ? decodeUtf8(*data) : std::nullopt;
}

bool isSpaceChar(QChar c)
{
    // What \s matches in Qt's regular expressions: ASCII white space and Unicode separators.
    const char16_t u = c.unicode();
    if ((u >= 0x09 && u <= 0x0D) || u == 0x20)
        return true;
    const auto category = c.category();
    return category == QChar::Separator_Space || category == QChar::Separator_Line
        || category == QChar::Separator_Paragraph;
}

// Calls `found(start, length)` for each value of name\s*=\s*"([^"]*)" inside each
// <publishSettings>…</publishSettings> block (the shortest), as a regular expression would
// find them, but by plain searching: a block of any size gives all its names.
template <typename Found>
void forEachPublishedName(const QString& text, Found found)
{
    static const QLatin1String open("<publishSettings>");
    static const QLatin1String close("</publishSettings>");
    qsizetype from = 0;
    for (;;) {
        const qsizetype blockStart = text.indexOf(open, from);
        if (blockStart < 0)
            return;
        const qsizetype bodyStart = blockStart + open.size();
        const qsizetype blockEnd = text.indexOf(close, bodyStart);
        if (blockEnd < 0)
            return;
        qsizetype at = bodyStart;
        while ((at = text.indexOf(QLatin1String("name"), at)) >= 0 && at < blockEnd) {
            qsizetype i = at + 4;
            at += 1;
            while (i < blockEnd && isSpaceChar(text[i]))
                ++i;
            if (i >= blockEnd || text[i] != QLatin1Char('='))
                continue;
            ++i;
            while (i < blockEnd && isSpaceChar(text[i]))
                ++i;
            if (i >= blockEnd || text[i] != QLatin1Char('"'))
                continue;
            const qsizetype valueEnd = text.indexOf(QLatin1Char('"'), i + 1);
            if (valueEnd < 0 || valueEnd >= blockEnd)
                continue;
            found(i + 1, valueEnd - i - 1);
            at = valueEnd + 1;
        }
        from = blockEnd + close.size();
    }
}

template <typename Text>
struct TextEdit
{
    qsizetype start;
    qsizetype length;
    Text replacement;
};
using Edit = TextEdit<QString>;
using ByteEdit = TextEdit<QByteArray>;

// The text with every edit applied, built front to back in one pass. Edits do not overlap;
// an insertion is an edit of length 0.
template <typename Text>
Text applyEdits(const Text& text, std::vector<TextEdit<Text>> edits)
{
    if (edits.empty())
        return text;
    std::stable_sort(edits.begin(), edits.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    qsizetype size = text.size();
    for (const auto& edit : edits)
        size += edit.replacement.size() - edit.length;
    Text out;
    out.reserve(size);
    qsizetype at = 0;
    for (const auto& edit : edits) {
        out.append(text.constData() + at, edit.start - at);
        out.append(edit.replacement);
        at = edit.start + edit.length;
    }
    out.append(text.constData() + at, text.size() - at);
    return out;
}

// The version rewrite works on the template's UTF-8 bytes: every pattern it reads is ASCII,
// and \s in a pattern without Unicode properties is ASCII white space, so each tag is found by
// a plain search and matched from there, as a global regular-expression match finds it (left
// to right, each search going on after the last match). No regular expression runs: one that
// runs out of memory reads as "no match", which would report a template as rewritten.
struct Span
{
    qsizetype start;
    qsizetype length;
};

constexpr QByteArrayView kOzmlTag("<ozml");
constexpr QByteArrayView kDvOpen("<displayversion>");
constexpr QByteArrayView kDvClose("</displayversion>");

// Where `needle` first stands in `s` at or after `from`, or -1: memmem, many times faster
// than QByteArrayView::indexOf for a short needle in a long text.
qsizetype findFrom(QByteArrayView s, QByteArrayView needle, qsizetype from)
{
    if (from > s.size())
        return -1;
    const void* found = ::memmem(s.data() + from, std::size_t(s.size() - from), needle.data(), std::size_t(needle.size()));
    return found ? static_cast<const char*>(found) - s.data() : -1;
}

qsizetype blanksFrom(QByteArrayView s, qsizetype i)
{
    while (i < s.size() && isSpace(s[i]))
        ++i;
    return i;
}

bool startsAt(QByteArrayView s, qsizetype i, QByteArrayView literal)
{
    return i + literal.size() <= s.size() && s.sliced(i, literal.size()) == literal;
}

// <ozml\s+version\s*=\s*"([^"]*)" with "<ozml" at `at`: the value's span (its closing quote
// at start + length).
std::optional<Span> ozmlValueAt(QByteArrayView s, qsizetype at)
{
    qsizetype i = at + kOzmlTag.size();
    const qsizetype afterTag = i;
    i = blanksFrom(s, i);
    if (i == afterTag || !startsAt(s, i, "version"))
        return std::nullopt;
    i = blanksFrom(s, i + 7);
    if (!startsAt(s, i, "="))
        return std::nullopt;
    i = blanksFrom(s, i + 1);
    if (!startsAt(s, i, "\""))
        return std::nullopt;
    const qsizetype close = s.indexOf('"', i + 1);
    if (close < 0)
        return std::nullopt;
    return Span{i + 1, close - i - 1};
}

// Every value of (<ozml\s+version\s*=\s*")([^"]*)(").
std::vector<Span> ozmlValues(QByteArrayView s)
{
    std::vector<Span> found;
    qsizetype from = 0;
    qsizetype at;
    while ((at = findFrom(s, kOzmlTag, from)) >= 0) {
        const auto value = ozmlValueAt(s, at);
        from = value ? value->start + value->length + 1 : at + 1;
        if (value)
            found.push_back(*value);
    }
    return found;
}

// Where the first <ozml\s+version\s*=\s*"[^"]*"> ends.
std::optional<qsizetype> ozmlStartTagEnd(QByteArrayView s)
{
    qsizetype from = 0;
    qsizetype at;
    while ((at = findFrom(s, kOzmlTag, from)) >= 0) {
        const auto value = ozmlValueAt(s, at);
        const qsizetype close = value ? value->start + value->length : -1;
        if (value && close + 1 < s.size() && s[close + 1] == '>')
            return close + 2;
        from = at + 1;
    }
    return std::nullopt;
}

// Every value of (<displayversion>\s*)([^<\s]+)(\s*</displayversion>).
std::vector<Span> displayVersionValues(QByteArrayView s)
{
    std::vector<Span> found;
    qsizetype from = 0;
    qsizetype at;
    while ((at = findFrom(s, kDvOpen, from)) >= 0) {
        from = at + 1;
        const qsizetype start = blanksFrom(s, at + kDvOpen.size());
        qsizetype i = start;
        while (i < s.size() && s[i] != '<' && !isSpace(s[i]))
            ++i;
        if (i == start)
            continue;
        const qsizetype end = i;
        i = blanksFrom(s, i);
        if (!startsAt(s, i, kDvClose))
            continue;
        found.push_back({start, end - start});
        from = i + kDvClose.size();
    }
    return found;
}

// Every match of \n?[ \t]*<displayversion>[^<]*</displayversion>: a match starts as far left
// as its blanks and one line break before them reach, but never before the last match's end.
std::vector<Span> displayVersionElements(QByteArrayView s)
{
    std::vector<Span> found;
    qsizetype from = 0;
    qsizetype lastEnd = 0;
    qsizetype at;
    while ((at = findFrom(s, kDvOpen, from)) >= 0) {
        const qsizetype close = s.indexOf('<', at + kDvOpen.size());
        if (close < 0 || !startsAt(s, close, kDvClose)) {
            from = at + 1;
            continue;
        }
        qsizetype start = at;
        while (start > lastEnd && (s[start - 1] == ' ' || s[start - 1] == '\t'))
            --start;
        if (start > lastEnd && s[start - 1] == '\n')
            --start;
        from = lastEnd = close + kDvClose.size();
        found.push_back({start, lastEnd - start});
    }
    return found;
}

void addSpanEdits(std::vector<ByteEdit>& edits, const std::vector<Span>& spans, const QByteArray& value)
{
    for (const Span& span : spans)
        edits.push_back({span.start, span.length, value});
}

const QString& outOfMemoryText()
{
    static const QString text = QStringLiteral("内存不足，模板没有改动。");
    return text;
}

// ^[0-9]+(\.[0-9]+)*\z
bool isVersionValue(const QString& value)
{
    bool digitBefore = false;
    for (const QChar c : value) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digitBefore = true;
        else if (c == QLatin1Char('.') && digitBefore)
            digitBefore = false;
        else
            return false;
    }
    return digitBefore;
}

QString invisibleStripped(const QString& s)
{
    QString out;
    for (const char32_t c : s.toUcs4()) {
        if (c == 0xFE0E || c == 0xFE0F || c == 0x200B || c == 0x200D || QChar::isSpace(c))
            continue;
        out.append(QString::fromUcs4(&c, 1));
    }
    return out;
}

// Relative file key ("/sub/file.motn") -> published names in order.
std::map<QString, QStringList> orderedNamesByFile(const QString& folder)
{
    std::map<QString, QStringList> result;
    const std::string root = FsPath::toBytes(folder);
    const auto walk = LibraryWalk::walk(root, LibraryWalk::templateFiles);
    for (const auto& file : walk.templates) {
        const auto text = readTemplateForNames(file);
        if (!text)
            continue;
        QStringList names;
        forEachPublishedName(*text, [&](qsizetype start, qsizetype length) {
            const QString value = TemplateInspector::decodeEntities(text->mid(start, length)).trimmed();
            if (!value.isEmpty() && value != QLatin1String("|"))
                names.append(value);
        });
        const QString key = file.compare(0, root.size(), root) == 0 ? fromBytes(file.substr(root.size()))
                                                                     : fromBytes(file.substr(file.find_last_of('/') + 1));
        result[key] = names;
    }
    return result;
}

} // namespace

bool TemplateInspector::NamePair::isChinese() const
{
    return EngineText::containsChinese(current);
}

const QSet<QString>& TemplateInspector::fileExtensions()
{
    static const QSet<QString> extensions{QStringLiteral("motn"), QStringLiteral("moti"), QStringLiteral("moef"),
                                          QStringLiteral("motr")};
    return extensions;
}

QStringList TemplateInspector::templateFiles(const QString& folder)
{
    QStringList files;
    const auto walk = LibraryWalk::walk(FsPath::toBytes(folder), LibraryWalk::templateFiles);
    for (const auto& file : walk.templates)
        files.append(fromBytes(file));
    return files;
}

TemplateInspector::VersionSummary TemplateInspector::versionSummary(const QString& folder)
{
    VersionTally tally;
    LibraryWalk::walk(FsPath::toBytes(folder), 0,
                      [&tally](int fd, const struct stat& st) { tally.add(fd, qint64(st.st_size)); });
    return tally.summary();
}

void TemplateInspector::VersionTally::add(int fd, qint64 size)
{
    char* const head = m_head;
    const std::size_t limit = size >= 0 && std::size_t(size) < kHeadBytes ? std::size_t(size) : kHeadBytes;
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::pread(fd, head + got, limit - got, off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a read error counts as the data read so far
        got += std::size_t(n);
    }
    const auto check = LibraryWalk::checkUtf8(head, got);
    if (check.validLength != got) {
        // A head cut inside a character is still text; anything else is not.
        if (!(check.cutAtEnd && got == kHeadBytes))
            return;
        got = check.validLength;
    }
    ++m_summary.templateFileCount;
    const QByteArray text = QByteArray::fromRawData(head, qsizetype(got));
    const auto ozml = readOzml(text);
    if (!ozml)
        return;
    const auto dv = readDisplayVersion(text);
    m_summary.counts[*ozml + QLatin1Char('|') + dv.value_or(QString())] += 1;
    if (!m_best || VersionNum::compare(*ozml, m_best->first) > 0)
        m_best = std::make_pair(*ozml, dv);
}

TemplateInspector::VersionSummary TemplateInspector::VersionTally::summary() const
{
    VersionSummary summary = m_summary;
    if (m_best) {
        summary.ozml = m_best->first;
        summary.displayVersion = m_best->second;
    }
    return summary;
}

std::optional<QByteArray> TemplateInspector::rewrittenVersion(const QByteArray& text, const QByteArray& ozml,
                                                             const QByteArray& displayVersion)
{
    // Strict: a file that is not well-formed UTF-8 is not a template we touch.
    if (!QByteArrayView(text).isValidUtf8())
        return std::nullopt;
    std::vector<ByteEdit> edits;
    const std::vector<Span> values = ozmlValues(text);
    addSpanEdits(edits, values, ozml);
    // The display-version rules read the text after the ozml rewrite. While no old ozml value
    // holds a "<", that rewrite cannot change what they match, so every edit is found in the
    // original text and the file is built once; otherwise the ozml rewrite is applied first.
    const bool valuesHoldTags = std::any_of(values.begin(), values.end(), [&](const Span& value) {
        return QByteArrayView(text).sliced(value.start, value.length).contains('<');
    });
    QByteArray rewritten;
    if (valuesHoldTags)
        rewritten = applyEdits(text, std::exchange(edits, {}));
    const QByteArray& base = valuesHoldTags ? rewritten : text;
    if (!displayVersion.isEmpty()) {
        if (findFrom(base, kDvOpen, 0) >= 0)
            addSpanEdits(edits, displayVersionValues(base), displayVersion);
        else if (const auto end = ozmlStartTagEnd(base))
            edits.push_back({*end, 0, "\n<displayversion>" + displayVersion + "</displayversion>\n"});
    } else {
        addSpanEdits(edits, displayVersionElements(base), QByteArray());
    }
    if (edits.empty() && !valuesHoldTags)
        return std::nullopt;
    QByteArray changed = applyEdits(base, std::move(edits));
    if (changed == text)
        return std::nullopt;
    return changed;
}

TemplateInspector::EditSummary TemplateInspector::setVersion(const QString& folder, const QString& ozml,
                                                             const QString& displayVersion, const SafeFS::Identity& seen)
{
    if (!isVersionValue(ozml))
        throw TemplateEditError(QStringLiteral("版本号格式不对：") + ozml);
    if (!displayVersion.isEmpty() && !isVersionValue(displayVersion))
        throw TemplateEditError(QStringLiteral("版本号格式不对：") + displayVersion);

    const QByteArray ozmlBytes = ozml.toLatin1();
    const QByteArray dvBytes = displayVersion.toLatin1();
    EditSummary summary;
    TemplateChange change(folder, {}, seen);
    try {
        for (const auto& file : change.templates()) {
            const auto bytes = change.read(file, kMaxTemplateBytes);
            if (!bytes)
                continue;
            const auto changed = rewrittenVersion(*bytes, ozmlBytes, dvBytes);
            if (changed)
                change.stage(file, *changed);
        }
    } catch (const std::bad_alloc&) {
        throw TemplateEditError(outOfMemoryText());
    }
    summary.filesChanged = change.commit();
    summary.writeError = change.writeError();
    return summary;
}

TemplateInspector::EditSummary TemplateInspector::applyTranslations(const QString& folder,
                                                                    const QHash<QString, QString>& map)
{
    if (map.isEmpty())
        return {};
    TemplateChange change(folder);
    return applyTranslations(change, map);
}

namespace {

// Stages every template in which `translation` renames published names, counting the names.
template <typename Translation>
void translateEach(TemplateChange& change, const Translation& translation, TemplateInspector::EditSummary& summary)
{
    using TemplateInspector::decodeEntities;
    using TemplateInspector::encodeEntities;
    for (const auto& file : change.templates()) {
        const auto text = readForRewrite(change, file);
        if (!text)
            continue;
        std::vector<Edit> edits;
        forEachPublishedName(*text, [&](qsizetype start, qsizetype length) {
            const QStringView raw = QStringView(*text).mid(start, length);
            const QString key = decodeEntities(raw.toString()).trimmed();
            const auto found = translation(key);
            if (!found || found->isEmpty() || *found == key)
                return;
            QString encoded = encodeEntities(*found);
            if (encoded != raw)
                edits.push_back({start, length, std::move(encoded)});
        });
        if (edits.empty())
            continue;
        const int count = int(edits.size());
        const QString changed = applyEdits(*text, std::move(edits));
        if (changed == *text)
            continue;
        change.stage(file, changed.toUtf8());
        summary.namesChanged += count;
    }
}

} // namespace

TemplateInspector::EditSummary TemplateInspector::applyTranslations(TemplateChange& change,
                                                                    const QHash<QString, QString>& map)
{
    EditSummary summary;
    if (map.isEmpty())
        return summary;
    try {
        // The list shows names that differ only by invisible characters as one row; a name
        // without a translation of its own takes that of its row, unless two spellings disagree.
        QHash<QString, std::optional<QString>> byStripped;
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString stripped = invisibleStripped(it.key());
            const auto found = byStripped.constFind(stripped);
            byStripped.insert(stripped, found == byStripped.constEnd() || *found == it.value()
                                            ? std::optional<QString>(it.value())
                                            : std::nullopt);
        }
        const auto translation = [&](const QString& key) -> std::optional<QString> {
            const auto exact = map.constFind(key);
            if (exact != map.constEnd())
                return *exact;
            return byStripped.value(invisibleStripped(key));
        };
        translateEach(change, translation, summary);
    } catch (const std::bad_alloc&) {
        throw TemplateEditError(outOfMemoryText());
    }
    summary.filesChanged = change.commit();
    summary.writeError = change.writeError();
    return summary;
}


QList<TemplateInspector::NamePair> TemplateInspector::namePairs(const QString& current,
                                                                const std::optional<QString>& original)
{
    const auto cur = orderedNamesByFile(current);
    if (cur.empty())
        return {};
    const auto orig = original ? orderedNamesByFile(*original) : std::map<QString, QStringList>{};

    std::map<QString, std::map<QString, int>> table;
    for (const auto& [key, currentList] : cur) {
        const auto found = orig.find(key);
        const QStringList& originalList = found != orig.end() ? found->second : currentList;
        for (qsizetype i = 0; i < currentList.size(); ++i) {
            const QString& c = currentList[i];
            const QString& o = i < originalList.size() ? originalList[i] : c;
            if (!o.isEmpty())
                table[o][c] += 1;
        }
    }
    for (const auto& [key, originalList] : orig) {
        if (cur.count(key))
            continue;
        for (const auto& n : originalList) {
            if (!n.isEmpty())
                table[n][n] += 1;
        }
    }

    QList<NamePair> pairs;
    QHash<QString, qsizetype> byMergeKey;
    for (const auto& [o, inner] : table) {
        for (const auto& [c, count] : inner) {
            const QString mergeKey = invisibleStripped(o) + QChar(0x1F) + invisibleStripped(c);
            const auto found = byMergeKey.constFind(mergeKey);
            if (found != byMergeKey.constEnd()) {
                pairs[*found].count += count;
                continue;
            }
            byMergeKey.insert(mergeKey, pairs.size());
            pairs.append({o, c, count});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const NamePair& a, const NamePair& b) {
        const int byOriginal = EngineText::localizedStandardCompare(a.original, b.original);
        if (byOriginal != 0)
            return byOriginal < 0;
        return EngineText::localizedStandardCompare(a.current, b.current) < 0;
    });
    return pairs;
}

QString TemplateInspector::decodeEntities(const QString& raw)
{
    if (!raw.contains(QLatin1Char('&')))
        return raw;
    QString s = raw;
    s.replace(QLatin1String("&lt;"), QLatin1String("<"));
    s.replace(QLatin1String("&gt;"), QLatin1String(">"));
    s.replace(QLatin1String("&quot;"), QLatin1String("\""));
    s.replace(QLatin1String("&apos;"), QLatin1String("'"));
    s.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return s;
}

QString TemplateInspector::encodeEntities(const QString& value)
{
    QString s = value;
    s.replace(QLatin1String("&"), QLatin1String("&amp;"));
    s.replace(QLatin1String("\""), QLatin1String("&quot;"));
    s.replace(QLatin1String("<"), QLatin1String("&lt;"));
    s.replace(QLatin1String(">"), QLatin1String("&gt;"));
    return s;
}
