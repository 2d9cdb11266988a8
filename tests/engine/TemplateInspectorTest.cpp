#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "engine/core/SystemError.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"

using namespace PluginFixtures;

namespace {

ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

class TemplateInspectorTest : public ::testing::Test
{
protected:
    QString folder() const { return m_dir.path() + QStringLiteral("/Lower Third"); }
    QString file(const QString& name) const { return folder() + QLatin1Char('/') + name; }

    QTemporaryDir m_dir;
};

QByteArray replaced(QByteArray bytes, const QByteArray& from, const QByteArray& to)
{
    return bytes.replace(from, to);
}

} // namespace

TEST_F(TemplateInspectorTest, FindsTemplatesButNotHiddenFilesOrPackageContents)
{
    writeBytes(file("Title.motn"), "x");
    writeBytes(file("Sub/Effect.MOEF"), "x");
    writeBytes(file("Sub/Deeper/Gen.Moti"), "x");
    writeBytes(file("Sub/trans.motr"), "x");
    writeBytes(file(".hidden.motn"), "x");
    writeBytes(file(".Hidden/inner.motn"), "x");
    writeBytes(file("Extras.bundle/Inside.motn"), "x");
    writeBytes(file("Media/clip.mov"), "x");
    writeBytes(file("Notes.motn.txt"), "x");
    makeSymlink(QStringLiteral("/nonexistent/x.motn"), file("Broken.motn"));

    QStringList found = TemplateInspector::templateFiles(folder());
    found.sort();
    const QStringList expected{file("Broken.motn"), file("Sub/Deeper/Gen.Moti"), file("Sub/Effect.MOEF"),
                               file("Sub/trans.motr"), file("Title.motn")};
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(TemplateInspector::templateFiles(m_dir.path() + QStringLiteral("/missing")).isEmpty());
}

TEST_F(TemplateInspectorTest, SummaryPicksTheHighestOzmlWithItsOwnDisplayVersion)
{
    TemplateOptions a;
    a.ozml = QStringLiteral("5.9");
    a.displayVersion = QStringLiteral("5.3");
    TemplateOptions b;
    b.ozml = QStringLiteral("5.10");
    b.displayVersion = QStringLiteral("5.4.1");
    b.crlf = true;
    TemplateOptions c = b;
    c.displayVersion = QStringLiteral("5.4.2");
    TemplateOptions noDv;
    noDv.ozml = QStringLiteral("5.8");
    noDv.displayVersion.reset();
    writeBytes(file("A.motn"), templateBytes(a));
    writeBytes(file("B.motn"), templateBytes(b));
    writeBytes(file("C.moti"), templateBytes(c));
    writeBytes(file("D.motr"), templateBytes(noDv));

    const auto summary = TemplateInspector::versionSummary(folder());
    EXPECT_EQ(summary.ozml, QStringLiteral("5.10"));
    // Of two files with the highest ozml, the first one walked gives the display version.
    QString firstHighest;
    for (const auto& path : TemplateInspector::templateFiles(folder())) {
        if (path.endsWith("B.motn") || path.endsWith("C.moti")) {
            firstHighest = path.endsWith("B.motn") ? "5.4.1" : "5.4.2";
            break;
        }
    }
    EXPECT_EQ(summary.displayVersion, firstHighest);
    EXPECT_EQ(summary.templateFileCount, 4);
    const QHash<QString, int> counts{{"5.9|5.3", 1}, {"5.10|5.4.1", 1}, {"5.10|5.4.2", 1}, {"5.8|", 1}};
    EXPECT_EQ(summary.counts, counts);
}

TEST_F(TemplateInspectorTest, SummaryCountsWhatDecodesAndSkipsTheRest)
{
    const struct {
        const char* label;
        std::function<void(const QString&)> make;
        int counted;
        std::optional<QString> ozml;
        std::optional<QString> dv;
    } cases[] = {
        {"head cut inside a character",
         [](const QString& p) {
             TemplateOptions s;
             s.cutHeadInsideCharacter = true;
             writeBytes(p, templateBytes(s));
         },
         1, QStringLiteral("5.11"), QStringLiteral("5.4.7")},
        {"no display version",
         [](const QString& p) {
             TemplateOptions s;
             s.displayVersion.reset();
             writeBytes(p, templateBytes(s));
         },
         1, QStringLiteral("5.11"), std::nullopt},
        {"ozml beyond the head",
         [](const QString& p) {
             TemplateOptions s;
             s.ozmlBeyondHead = true;
             writeBytes(p, templateBytes(s));
         },
         1, std::nullopt, std::nullopt},
        {"not UTF-8", [](const QString& p) { writeBytes(p, QByteArray("<ozml version=\"5.1\">\xff\xfe garbage")); },
         0, std::nullopt, std::nullopt},
        {"plain text, not XML", [](const QString& p) { writeBytes(p, "just some words\n"); }, 1, std::nullopt,
         std::nullopt},
        {"empty file", [](const QString& p) { writeBytes(p, {}); }, 1, std::nullopt, std::nullopt},
        {"broken symlink", [](const QString& p) { makeSymlink(QStringLiteral("/nonexistent/t.motn"), p); }, 0,
         std::nullopt, std::nullopt},
        {"FIFO is never opened for a blocking read",
         [](const QString& p) {
             QDir().mkpath(QFileInfo(p).absolutePath());
             ASSERT_EQ(::mkfifo(QFile::encodeName(p).constData(), 0644), 0);
         },
         0, std::nullopt, std::nullopt},
        {"display version without ozml counts nothing",
         [](const QString& p) { writeBytes(p, "<displayversion>5.4</displayversion>"); }, 1, std::nullopt,
         std::nullopt},
        {"spaced attributes",
         [](const QString& p) {
             writeBytes(p, "<ozml\n  version = \"5.13\">\n<displayversion>\n 5.6 \n</displayversion>");
         },
         1, QStringLiteral("5.13"), QStringLiteral("5.6")},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QString plugin = m_dir.path() + QStringLiteral("/case%1").arg(index++);
        c.make(plugin + QStringLiteral("/Template.motn"));
        const auto summary = TemplateInspector::versionSummary(plugin);
        EXPECT_EQ(summary.templateFileCount, c.counted);
        EXPECT_EQ(summary.ozml, c.ozml);
        EXPECT_EQ(summary.displayVersion, c.dv);
    }
}

TEST_F(TemplateInspectorTest, SetVersionRewritesOnlyTheVersionBytes)
{
    for (const bool crlf : {false, true}) {
        SCOPED_TRACE(crlf ? "CRLF" : "LF");
        TemplateOptions s;
        s.crlf = crlf;
        s.publishedNames = {QStringLiteral("标题颜色"), QStringLiteral("Size &amp; Shape")};
        // The CRLF file also starts with a byte-order mark, which must survive.
        const QByteArray original = (crlf ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + templateBytes(s);
        ASSERT_GT(original.size(), 250 * 1024);
        const QString path = file(crlf ? "Crlf.motn" : "Lf.motn");
        writeBytes(path, original);
        // The permission bits stay; a set-ID bit never comes along onto the rewritten file.
        const mode_t mode = crlf ? 06750 : 0640;
        ::chmod(QFile::encodeName(path).constData(), mode);

        const auto summary = TemplateInspector::setVersion(folder(), "5.13", "5.6");
        EXPECT_EQ(summary.filesChanged, 1);
        EXPECT_EQ(summary.namesChanged, 0);
        QByteArray expected = replaced(original, "<ozml version=\"5.11\">", "<ozml version=\"5.13\">");
        expected.replace("<displayversion>5.4.7</displayversion>", "<displayversion>5.6</displayversion>");
        EXPECT_EQ(readBytes(path), expected);
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode & 0777);

        // The same values again: nothing is written, not even an identical copy.
        const ino_t before = inodeOf(path);
        EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "5.6").filesChanged, 0);
        EXPECT_EQ(inodeOf(path), before);
        QFile::remove(path);
    }
    // No stray temporary files are left beside the templates.
    EXPECT_TRUE(QDir(folder()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(TemplateInspectorTest, SetVersionInsertsAndRemovesTheDisplayVersion)
{
    TemplateOptions without;
    without.displayVersion.reset();
    const QByteArray plain = templateBytes(without);
    TemplateOptions extra = without;
    extra.extraOzmlAttribute = true;
    const QByteArray withAttribute = templateBytes(extra);
    const QByteArray withDv = templateBytes(TemplateOptions{});
    TemplateOptions indented;
    const QByteArray indentedDv = replaced(templateBytes(indented), "\n<displayversion>", "\n  \t<displayversion>");

    writeBytes(file("Plain.motn"), plain);
    writeBytes(file("Attr.motn"), withAttribute);
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "5.6").filesChanged, 2);
    EXPECT_EQ(readBytes(file("Plain.motn")),
              replaced(plain, "<ozml version=\"5.11\">",
                       "<ozml version=\"5.13\">\n<displayversion>5.6</displayversion>\n"));
    // A start tag with further attributes is no anchor: only the version changes.
    EXPECT_EQ(readBytes(file("Attr.motn")), replaced(withAttribute, "version=\"5.11\"", "version=\"5.13\""));

    QDir(folder()).removeRecursively();
    writeBytes(file("Dv.motn"), withDv);
    writeBytes(file("Indented.motn"), indentedDv);
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.11", "").filesChanged, 2);
    EXPECT_EQ(readBytes(file("Dv.motn")), replaced(withDv, "\n<displayversion>5.4.7</displayversion>", ""));
    EXPECT_EQ(readBytes(file("Indented.motn")),
              replaced(indentedDv, "\n  \t<displayversion>5.4.7</displayversion>", ""));
}

TEST_F(TemplateInspectorTest, SetVersionRefusesBadValuesAndFollowsTheUsersLinks)
{
    const QByteArray original = templateBytes(TemplateOptions{});
    writeBytes(file("Title.motn"), original);
    const QString outside = m_dir.path() + QStringLiteral("/Elsewhere/Shared.motn");
    writeBytes(outside, original);
    makeSymlink(outside, file("Linked.motn"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(file("Pipe.motn")).constData(), 0644), 0);

    const struct {
        const char* ozml;
        const char* dv;
    } refused[] = {{"5\"x", "5.6"}, {"", ""}, {"5.", ""}, {".5", ""}, {"5..1", ""}, {"abc", ""},
                   {"5.13", "5 6"}, {"5.13", "5.6</displayversion><x>"}, {"５.1", ""}, {"$1", ""},
                   {"5.13\n", ""}, {"5.13", "5.6\n"}};
    for (const auto& c : refused) {
        SCOPED_TRACE(std::string(c.ozml) + " / " + c.dv);
        EXPECT_THROW(TemplateInspector::setVersion(folder(), QString::fromUtf8(c.ozml), QString::fromUtf8(c.dv)),
                     TemplateEditError);
        EXPECT_EQ(readBytes(file("Title.motn")), original);
    }

    // Outside the system library a linked template is rewritten where it points, and the
    // link stays; a FIFO is never opened.
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "").filesChanged, 2);
    EXPECT_NE(readBytes(file("Title.motn")), original);
    EXPECT_EQ(readBytes(outside), readBytes(file("Title.motn")));
    EXPECT_TRUE(QFileInfo(file("Linked.motn")).isSymLink());
    EXPECT_EQ(QDir(m_dir.path() + "/Elsewhere").entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// Every new content is written before the first file is replaced, into staging folders of the
// change's own that go with it; nothing else is ever removed.
TEST_F(TemplateInspectorTest, ARewriteChangesEveryFileOrNoneAndClearsOnlyItsOwnLeftovers)
{
    const QByteArray small = "<ozml version=\"5.11\">\n</ozml>\n";
    const QByteArray big = templateBytes(TemplateOptions{});
    for (int i = 0; i < 6; ++i)
        writeBytes(file(QStringLiteral("Small%1.motn").arg(i)), small);
    const QString longName = QString(250, QLatin1Char('t')) + ".motn";
    writeBytes(file(longName), small);
    writeBytes(file("Scenes/Big.motn"), big);
    QString message;
    {
        FileSizeLimit limit(4096);
        try {
            TemplateInspector::setVersion(folder(), "5.13", "5.6");
        } catch (const TemplateEditError& e) {
            message = e.message();
        }
    }
    // The message names the plug-in and the file's path inside it.
    EXPECT_EQ(message, QStringLiteral("插件「Lower Third」的文件「Scenes/Big.motn」：") + SystemError::describe(EFBIG));
    for (const QString& name : QDir(folder()).entryList(QDir::Files | QDir::Hidden))
        EXPECT_EQ(readBytes(file(name)), small) << name.toStdString();
    EXPECT_EQ(QDir(folder()).entryList(QDir::Files | QDir::Hidden).size(), 7) << "no temporary left";
    EXPECT_EQ(QDir(folder()).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"Scenes"});
    EXPECT_EQ(QDir(file("Scenes")).entryList(QDir::Files | QDir::Hidden), QStringList{"Big.motn"});
    EXPECT_EQ(readBytes(file("Scenes/Big.motn")), big);

    // Hidden names of the plug-in's, however close to a rewrite's forms, are never removed:
    // only what the journal names is put right.
    const QStringList kept{".loomwork-rewrite-0123456789abcdef", ".loomwork-rewrite-0123456789ABCDEF",
                           ".loomwork-rewrite-0123", ".Big.motn.a1B2c3", ".loomwork-rewrite-00000000000000000",
                           "Sub/.loomwork-rewrite-fedcba9876543210", ".loomwork-rewrite-0123456789abcdef.record",
                           ".Lower Third.loomwork-rewrite-0123456789abcdef"};
    for (const QString& name : kept) {
        writeBytes(file(name + (name.startsWith("Sub/") ? "/x" : "")), "mine");
        setModified(file(name), 1000000000);
    }
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "5.6").filesChanged, 8);
    for (const QString& name : kept)
        EXPECT_EQ(readBytes(file(name + (name.startsWith("Sub/") ? "/x" : ""))), "mine") << name.toStdString();
    EXPECT_TRUE(readBytes(file(longName)).contains("5.13"));
}

TEST_F(TemplateInspectorTest, HugeTemplatesAreSummarisedFromTheirHeadAndNeverLoaded)
{
    const QString path = file("Huge.motn");
    writeBytes(path, templateBytes(TemplateOptions{}));
    // Sparse: costs no disk, but far above what a rewrite may load.
    ASSERT_EQ(::truncate(QFile::encodeName(path).constData(), TemplateInspector::kMaxTemplateBytes + 4096), 0);
    const auto summary = TemplateInspector::versionSummary(folder());
    EXPECT_EQ(summary.ozml, QStringLiteral("5.11"));
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "5.6").filesChanged, 0);
    EXPECT_EQ(TemplateInspector::applyTranslations(folder(), {{"Font", "字体"}}).filesChanged, 0);
    EXPECT_TRUE(TemplateInspector::namePairs(folder(), std::nullopt).isEmpty());
}

TEST_F(TemplateInspectorTest, ApplyTranslationsRenamesPublishedNamesOnly)
{
    for (const bool crlf : {false, true}) {
        SCOPED_TRACE(crlf ? "CRLF" : "LF");
        QDir(folder()).removeRecursively();
        TemplateOptions s;
        s.crlf = crlf;
        s.publishBlocks = 2;
        s.publishedNames = {QStringLiteral("Title Color"), QStringLiteral("Size &amp; Shape"),
                            QStringLiteral(" Position "), QStringLiteral("Font"), QStringLiteral("Keep"),
                            QStringLiteral("Same")};
        s.privateNames = {QStringLiteral("Title Color"), QStringLiteral("Position")};
        const QByteArray original = templateBytes(s);
        writeBytes(file("Title.motn"), original);
        writeBytes(file("Nested/Other.moti"), original);

        const QHash<QString, QString> map{
            {"Title Color", "标题颜色"},
            {"Size & Shape", "大小<和>形状"},
            {"Position", "位置 \"中\" 's"},
            {"Keep", ""},     // empty target: unchanged
            {"Same", "Same"}, // target equals key: unchanged
        };
        const auto summary = TemplateInspector::applyTranslations(folder(), map);
        EXPECT_EQ(summary.filesChanged, 2);
        EXPECT_EQ(summary.namesChanged, 6);

        QByteArray expected = original;
        expected.replace("flags=\"0\" name=\"Title Color\"", "flags=\"0\" name=\"标题颜色\"");
        expected.replace("name=\"Size &amp; Shape\"", "name=\"大小&lt;和&gt;形状\"");
        expected.replace("name=\" Position \"", "name=\"位置 &quot;中&quot; 's\"");
        EXPECT_EQ(readBytes(file("Title.motn")), expected);
        EXPECT_EQ(readBytes(file("Nested/Other.moti")), expected);
        // The private parameters of the scene keep their names.
        EXPECT_TRUE(readBytes(file("Title.motn")).contains("<parameter name=\"Title Color\""));

        const ino_t before = inodeOf(file("Title.motn"));
        const auto again = TemplateInspector::applyTranslations(folder(), map);
        EXPECT_EQ(again.filesChanged, 0);
        EXPECT_EQ(again.namesChanged, 0);
        EXPECT_EQ(inodeOf(file("Title.motn")), before);
    }
    EXPECT_EQ(TemplateInspector::applyTranslations(folder(), {}).filesChanged, 0);
}

TEST_F(TemplateInspectorTest, ManyRenamesInOneFileGiveTheSameBytesAsOneByOne)
{
    TemplateOptions s;
    s.publishedNames.clear();
    QHash<QString, QString> map;
    for (int i = 0; i < 2000; ++i) {
        const QString name = QStringLiteral("Param %1").arg(i, 4, 10, QLatin1Char('0'));
        s.publishedNames.append(name);
        map.insert(name, i % 3 == 0 ? QStringLiteral("参数 <%1>").arg(i) : QStringLiteral("参数%1").arg(i));
    }
    const QByteArray original = templateBytes(s);
    writeBytes(file("Many.motn"), original);
    const auto summary = TemplateInspector::applyTranslations(folder(), map);
    EXPECT_EQ(summary.namesChanged, 2000);

    QByteArray expected = original;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        expected.replace("name=\"" + it.key().toUtf8() + "\"",
                         "name=\"" + TemplateInspector::encodeEntities(it.value()).toUtf8() + "\"");
    EXPECT_EQ(readBytes(file("Many.motn")), expected);
}

TEST_F(TemplateInspectorTest, SetVersionReadsTheDisplayVersionAfterTheOzmlRewrite)
{
    // An ozml value that itself holds a display-version element: it is gone once the value
    // is rewritten, so the element is inserted rather than rewritten inside the old value.
    const QByteArray odd = "<ozml version=\"1<displayversion>4</displayversion>\">\n<scene/>\n</ozml>\n";
    writeBytes(file("Odd.motn"), odd);
    EXPECT_EQ(TemplateInspector::setVersion(folder(), "5.13", "5.6").filesChanged, 1);
    EXPECT_EQ(readBytes(file("Odd.motn")),
              QByteArray("<ozml version=\"5.13\">\n<displayversion>5.6</displayversion>\n\n<scene/>\n</ozml>\n"));
}

TEST_F(TemplateInspectorTest, NamePairsMatchTranslatedNamesToTheUntranslatedCopy)
{
    const QString backup = m_dir.path() + QStringLiteral("/Backup");
    TemplateOptions orig;
    orig.publishedNames = {"Color", "Size 10", "Size 2", "|", "", "A &amp; B", "Zero\u200BWidth"};
    TemplateOptions translated = orig;
    translated.publishedNames = {"颜色", "Size 10", "尺寸 2", "|", "", "甲和乙", "零宽"};
    TemplateOptions translatedCopy = translated;
    translatedCopy.publishedNames = {"颜色", "Size 10", "尺寸 2", "|", "", "甲和乙", "零 宽"};
    writeBytes(backup + "/Title.motn", templateBytes(orig));
    writeBytes(backup + "/Sub/Second.motn", templateBytes(orig));
    writeBytes(backup + "/OnlyInBackup.motn", templateBytes(orig));
    writeBytes(file("Title.motn"), templateBytes(translated));
    writeBytes(file("Sub/Second.motn"), templateBytes(translatedCopy));

    const auto pairs = TemplateInspector::namePairs(folder(), backup);
    QStringList rendered;
    for (const auto& p : pairs)
        rendered << QStringLiteral("%1 -> %2 x%3%4").arg(p.original, p.current).arg(p.count).arg(p.isChinese() ? " 中" : "");
    const QStringList expected{
        "A & B -> A & B x1",
        "A & B -> 甲和乙 x2 中",
        "Color -> Color x1",
        "Color -> 颜色 x2 中",
        "Size 2 -> Size 2 x1",
        "Size 2 -> 尺寸 2 x2 中",
        "Size 10 -> Size 10 x3",
        "Zero\u200BWidth -> Zero\u200BWidth x1",
        "Zero\u200BWidth -> 零 宽 x2 中", // "零宽" differs only by a space: merged
    };
    EXPECT_EQ(rendered, expected);

    // Without a backup every name pairs with itself.
    const auto alone = TemplateInspector::namePairs(folder(), std::nullopt);
    ASSERT_FALSE(alone.isEmpty());
    for (const auto& p : alone)
        EXPECT_EQ(p.original, p.current);
    EXPECT_TRUE(TemplateInspector::namePairs(m_dir.path() + "/Nothing", backup).isEmpty());
}

// Names are found by plain search, so a block of any size gives all of them; a translation
// reaches every spelling its merged row stands for, unless two spellings disagree.
TEST_F(TemplateInspectorTest, EveryNameOfAHugeBlockIsFoundAndEverySpellingOfARowTranslated)
{
    QByteArray text = "<ozml version=\"5.11\">\n<publishSettings>\n<target name=\"Font\"/><target name=\"Fo\u200Bnt\"/>\n";
    for (int i = 0; i < 310000; ++i)
        text += "<target id=\"" + QByteArray::number(i) + "\" flags=\"0\" value=\"0.5\" default=\"0\"/>\n";
    text += "<target name = \"Size\"/><target name=\"Size\uFE0F\"/>\n"
            "<target name=\"A\"/><target name=\"A\u200B\"/><target name=\"A\uFE0F\"/>\n</publishSettings>\n</ozml>\n";
    ASSERT_GT(text.size(), 16 * 1024 * 1024);
    writeBytes(file("Big.motn"), text);
    QStringList rows;
    for (const auto& p : TemplateInspector::namePairs(folder(), std::nullopt))
        rows << QStringLiteral("%1 x%2").arg(p.current).arg(p.count);
    EXPECT_EQ(rows, QStringList({"A x3", "Font x2", "Size x2"}));

    const auto summary = TemplateInspector::applyTranslations(
        folder(), {{"Font", "字体"}, {"Size", "大小"}, {"A", "甲"}, {"A\u200B", "乙"}});
    EXPECT_EQ(summary.namesChanged, 6);
    const QByteArray after = readBytes(file("Big.motn"));
    EXPECT_EQ(after.count("name=\"字体\""), 2);
    EXPECT_EQ(after.count("name = \"大小\""), 1);
    EXPECT_EQ(after.count("name=\"大小\""), 1);
    EXPECT_TRUE(after.contains("name=\"甲\"/><target name=\"乙\"/><target name=\"A\uFE0F\""));
}

TEST(TemplateEntities, DecodeAndEncodeInTheirOrder)
{
    EXPECT_EQ(TemplateInspector::decodeEntities("a &amp;lt; b &lt;c&gt; &quot;d&quot; &apos;e&apos;"),
              QStringLiteral("a &lt; b <c> \"d\" 'e'"));
    EXPECT_EQ(TemplateInspector::encodeEntities("a & <b> \"c\" 'd'"),
              QStringLiteral("a &amp; &lt;b&gt; &quot;c&quot; 'd'"));
}
