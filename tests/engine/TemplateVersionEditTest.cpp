#include <algorithm>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QStringDecoder>

#include "engine/templates/TemplateInspector.h"
#include "support/app/QtPrint.h"

// The version rewrite finds its tags by plain search on the template's bytes. It must write
// exactly what the earlier rewrite wrote, which ran its patterns as regular expressions over
// the whole decoded text: that routine is kept here as the reference.
namespace {

struct Edit
{
    qsizetype start;
    qsizetype length;
    QString replacement;
};

QString applyEdits(const QString& text, std::vector<Edit> edits)
{
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.start < b.start; });
    QString out;
    qsizetype at = 0;
    for (const auto& edit : edits) {
        out.append(QStringView(text).mid(at, edit.start - at));
        out.append(edit.replacement);
        at = edit.start + edit.length;
    }
    out.append(QStringView(text).mid(at));
    return out;
}

void addCaptureEdits(std::vector<Edit>& edits, const QString& text, const QRegularExpression& re, int group,
                     const QString& value)
{
    auto it = re.globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        edits.push_back({m.capturedStart(group), m.capturedLength(group), value});
    }
}

std::optional<QByteArray> referenceRewrite(const QByteArray& bytes, const QString& ozml, const QString& displayVersion)
{
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    static const QRegularExpression rewriteOzml(QStringLiteral("(<ozml\\s+version\\s*=\\s*\")([^\"]*)(\")"));
    static const QRegularExpression ozmlStartTag(QStringLiteral("<ozml\\s+version\\s*=\\s*\"[^\"]*\">"));
    static const QRegularExpression rewriteDv(QStringLiteral("(<displayversion>\\s*)([^<\\s]+)(\\s*</displayversion>)"));
    static const QRegularExpression removeDv(QStringLiteral("\\n?[ \\t]*<displayversion>[^<]*</displayversion>"));
    std::vector<Edit> edits;
    addCaptureEdits(edits, text, rewriteOzml, 2, ozml);
    const bool valuesHoldTags = std::any_of(edits.begin(), edits.end(), [&](const Edit& e) {
        return QStringView(text).mid(e.start, e.length).contains(QLatin1Char('<'));
    });
    QString rewritten;
    if (valuesHoldTags) {
        rewritten = applyEdits(text, std::move(edits));
        edits.clear();
    }
    const QString& base = valuesHoldTags ? rewritten : text;
    if (!displayVersion.isEmpty()) {
        if (base.contains(QLatin1String("<displayversion>"))) {
            addCaptureEdits(edits, base, rewriteDv, 2, displayVersion);
        } else {
            const auto tag = ozmlStartTag.match(base);
            if (tag.hasMatch())
                edits.push_back({tag.capturedEnd(), 0, "\n<displayversion>" + displayVersion + "</displayversion>\n"});
        }
    } else {
        addCaptureEdits(edits, base, removeDv, 0, QString());
    }
    const QString changed = applyEdits(base, std::move(edits));
    if (changed == text)
        return std::nullopt;
    return changed.toUtf8();
}

struct Versions
{
    const char* ozml;
    const char* dv;
};
const Versions kVersions[] = {{"5.13", "5.6"}, {"5.13", ""}, {"5.11", "5.4.7"}, {"6", "1.2.3.4"}};

void expectSameAsReference(const QByteArray& text, const std::string& label)
{
    for (const Versions& v : kVersions) {
        const auto expected = referenceRewrite(text, QString::fromLatin1(v.ozml), QString::fromLatin1(v.dv));
        const auto actual = TemplateInspector::rewrittenVersion(text, v.ozml, v.dv);
        EXPECT_EQ(actual, expected) << label << " with " << v.ozml << " / " << v.dv << "\n"
                                    << text.toStdString();
    }
}

} // namespace

TEST(TemplateVersionEdit, CraftedTemplatesGetTheSameBytesAsTheRegularExpressions)
{
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE ozxmlscene>\n";
    const struct {
        const char* label;
        QByteArray text;
    } cases[] = {
        {"plain", head + "<ozml version=\"5.11\">\n\n<displayversion>5.4.7</displayversion>\n<scene/>\n</ozml>\n"},
        {"no display version", head + "<ozml version=\"5.11\">\n<scene/>\n</ozml>\n"},
        {"CRLF and BOM",
         "\xEF\xBB\xBF" + QByteArray(head).replace("\n", "\r\n")
             + "<ozml version=\"5.11\">\r\n\r\n<displayversion>5.4.7</displayversion>\r\n<scene/>\r\n</ozml>\r\n"},
        {"CRLF without display version", "<ozml version=\"5.11\">\r\n<scene/>\r\n</ozml>\r\n"},
        {"comments holding tags",
         head + "<!-- <ozml version=\"1.0\"> <displayversion>1</displayversion> -->\n<ozml version=\"5.11\">\n"
                "<!--\n\t<displayversion>2</displayversion>-->\n<displayversion>5.4.7</displayversion>\n</ozml>\n"},
        {"a comment holding the only display version",
         "<!-- <displayversion> x </displayversion> -->\n<ozml version=\"5.11\">\n</ozml>\n"},
        {"several tags",
         "<ozml version=\"5.11\"><ozml version=\"5.9\">\n<displayversion>5.4</displayversion>\n"
         "<displayversion>5.5</displayversion>\n  <displayversion>5.6</displayversion><displayversion>5.7</displayversion>"},
        {"tags split oddly",
         "<ozml\n\tversion\r\n=\v\"5.11\"\f>\n<displayversion>\r\n 5.4 \r\n</displayversion>\n"
         "<ozml version =\"5.12\" build=\"1\"><ozmlversion=\"x\"><ozml  version=\"unterminated"},
        {"a start tag with more attributes, a later plain one",
         "<ozml version=\"5.11\" extra=\"1\">\n<scene/>\n<ozml version=\"5.2\">\n</ozml>\n"},
        {"only a start tag with more attributes", "<ozml version=\"5.11\" extra=\"1\">\n<scene/>\n"},
        {"empty and spaced display versions",
         "<ozml version=\"5.11\">\n<displayversion></displayversion>\n<displayversion> a b </displayversion>\n"
         "<displayversion>5<x/></displayversion>\n \t \n \t<displayversion>9</displayversion>"},
        {"adjacent display versions",
         "<ozml version=\"5.11\">\n<displayversion>1</displayversion>\n<displayversion>2</displayversion>"
         "<displayversion>3</displayversion>\n\n\n<displayversion>4</displayversion>"},
        {"a display version that never closes", "<ozml version=\"5.11\">\n<displayversion>5.4\n</ozml>\n"},
        {"an ozml value holding a tag",
         "<ozml version=\"1<displayversion>4</displayversion>\">\n<scene/>\n</ozml>\n"},
        {"an ozml value holding a start tag", "<ozml version=\"<ozml version=\">\">\n<displayversion>1</displayversion>"},
        {"Unicode spaces are not blanks",
         "<ozml\u00A0version=\"5.11\">\n<ozml version=\"5.11\">\n<displayversion>\u20285.4</displayversion>\n"
         "\u2028<displayversion>5.5</displayversion>\n\u0085<displayversion>5\u00A06</displayversion>"},
        {"other characters", "<ozml version=\"五.十一\">\n<displayversion>版本\xF0\x9F\x98\x80</displayversion>\n"},
        {"a nul byte", QByteArray("<ozml version=\"5.1\0\">\n<displayversion>\0</displayversion>", 54)},
        {"a noncharacter", "<ozml version=\"5.11\">\xEF\xBF\xBF\n<displayversion>5.4</displayversion>"},
        {"not UTF-8", "<ozml version=\"5.11\">\xFF\xFE\n<displayversion>5.4</displayversion>"},
        {"an encoded surrogate", "<ozml version=\"5.11\">\xED\xA0\x80"},
        {"cut inside a character", "<ozml version=\"5.11\">\xE4\xB8"},
        {"empty", ""},
        {"a bare tag", "<ozml"},
        {"already the version", "<ozml version=\"5.13\">\n<displayversion>5.6</displayversion>\n"},
    };
    for (const auto& c : cases)
        expectSameAsReference(c.text, c.label);
}

// Texts made of the pieces the patterns care about, in any order: the two routines must
// agree on every one.
TEST(TemplateVersionEdit, ShuffledPiecesGetTheSameBytesAsTheRegularExpressions)
{
    const QByteArray pieces[] = {"<ozml", " ", "\n", "\t", "\r", "version", "=", "\"", ">", "<displayversion>",
                                 "</displayversion>", "5.1", "<", "a", "\xC3\xA9", "\xE2\x80\xA8", "\xC2\xA0",
                                 "<ozml version=\"", "\"5.11\">", "\v", "\f"};
    std::mt19937 random(20261207);
    for (int round = 0; round < 4000; ++round) {
        QByteArray text;
        const int count = 1 + int(random() % 24);
        for (int i = 0; i < count; ++i)
            text += pieces[random() % std::size(pieces)];
        if (round % 97 == 0)
            text.insert(qsizetype(random() % std::size_t(text.size() + 1)), '\xFF');
        expectSameAsReference(text, "round " + std::to_string(round));
        if (::testing::Test::HasFailure())
            break;
    }
}
