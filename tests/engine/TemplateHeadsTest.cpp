// How the scan reads templates: only their heads, each opened relative to the walk's folder
// handle, never following what was swapped in after the listing, never opening a planted FIFO.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "engine/core/FsPath.h"
#include "engine/files/LibraryWalk.h"
#include "engine/library/PluginScanner.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/kit/DeepTree.h"

using namespace PluginFixtures;

namespace {

constexpr std::size_t kHead = TemplateInspector::kHeadBytes;

QByteArray tags(const char* ozml, const char* dv)
{
    return QByteArray("<ozml version=\"") + ozml + "\">\n<displayversion>" + dv + "</displayversion>\n";
}

// `bytes` of ASCII filler, so that what follows starts at a known place.
QByteArray filler(qsizetype bytes)
{
    QByteArray out = "<!--";
    out += QByteArray(std::max<qsizetype>(0, bytes - 7), 'x');
    out += "-->";
    return out.left(bytes);
}

// `text` padded with three-byte characters up to `end`, which cuts the last one after its
// first byte.
QByteArray chineseUpTo(QByteArray text, qsizetype end)
{
    while ((end - text.size()) % 3 != 1)
        text += 'a';
    while (text.size() + 1 < end)
        text += "插";
    return text + QByteArray("件").left(1);
}

ino_t inodeOf(int fd)
{
    struct stat st;
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// Opens of one path as inotify reports them.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& path)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (m_fd >= 0)
            ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
    }
    ~OpenWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool valid() const { return m_fd >= 0; }
    // Whether an open was reported since the last call.
    bool opened()
    {
        alignas(struct inotify_event) char buffer[4096];
        bool any = false;
        while (::read(m_fd, buffer, sizeof buffer) > 0)
            any = true;
        return any;
    }

private:
    int m_fd;
};

class TemplateHeadsTest : public ::testing::Test
{
protected:
    QString path(const QString& name) const { return m_dir.path() + QLatin1Char('/') + name; }

    // The summary of `folder` made by the scanner's way: a walk handing each template over.
    static TemplateInspector::VersionSummary tallied(const QString& folder,
                                                     const std::function<void(int fd)>& before = {})
    {
        TemplateInspector::VersionTally tally;
        LibraryWalk::walk(FsPath::toBytes(folder), LibraryWalk::allocatedSize, [&](int fd, const struct stat& st) {
            if (before)
                before(fd);
            tally.add(fd, qint64(st.st_size));
        });
        return tally.summary();
    }

    QTemporaryDir m_dir;
};

} // namespace

// What the summary says of a template depends only on its first 8 KiB, as it always has.
TEST_F(TemplateHeadsTest, SummariesOfCraftedHeadsStayAsTheyWere)
{
    const QByteArray afterHead(9000, 'y');
    const struct {
        const char* label;
        QByteArray bytes;
        int counted;
        std::optional<QString> ozml;
        std::optional<QString> dv;
    } cases[] = {
        {"tags at the start", tags("5.9", "5.3") + afterHead, 1, QStringLiteral("5.9"), QStringLiteral("5.3")},
        {"tags after the first kilobytes", filler(5000) + tags("5.8", "5.2") + afterHead, 1, QStringLiteral("5.8"),
         QStringLiteral("5.2")},
        {"ozml cut by the head's end", filler(kHead - 10) + tags("5.7", "5.1"), 1, std::nullopt, std::nullopt},
        {"display version beyond the head",
         QByteArray("<ozml version=\"5.6\">") + filler(kHead) + "<displayversion>5.0</displayversion>", 1,
         QStringLiteral("5.6"), std::nullopt},
        {"display version cut by the head's end",
         QByteArray("<ozml version=\"5.6\">") + filler(kHead - 20 - 25) + "<displayversion>5.0</displayversion>",
         1, QStringLiteral("5.6"), std::nullopt},
        {"a character cut by the head's end", chineseUpTo(tags("5.5", "4.9"), kHead) + "件" + afterHead, 1,
         QStringLiteral("5.5"), QStringLiteral("4.9")},
        {"a file of exactly the head ending inside a character", chineseUpTo(tags("5.5", "4.9"), kHead), 1,
         QStringLiteral("5.5"), QStringLiteral("4.9")},
        {"a shorter file ending inside a character", chineseUpTo(tags("5.5", "4.9"), kHead - 1), 0, std::nullopt,
         std::nullopt},
        {"not UTF-8 after the tags, inside the head", tags("5.4", "4.8") + filler(3000) + "\xff" + afterHead, 0,
         std::nullopt, std::nullopt},
        {"not UTF-8 beyond the head", tags("5.4", "4.8") + filler(kHead) + "\xff", 1, QStringLiteral("5.4"),
         QStringLiteral("4.8")},
        {"no tag at all", filler(20000), 1, std::nullopt, std::nullopt},
        {"an empty file", QByteArray(), 1, std::nullopt, std::nullopt},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const QString plugin = path(QStringLiteral("case%1").arg(index++));
        writeBytes(plugin + QStringLiteral("/Template.motn"), c.bytes);
        for (const auto& summary : {TemplateInspector::versionSummary(plugin), tallied(plugin)}) {
            EXPECT_EQ(summary.templateFileCount, c.counted);
            EXPECT_EQ(summary.ozml, c.ozml);
            EXPECT_EQ(summary.displayVersion, c.dv);
        }
    }
}

// Between the listing and the read another user may swap a template in the shared library.
TEST_F(TemplateHeadsTest, ATemplateSwappedAfterTheListingIsNeitherFollowedNorBlockedOn)
{
    writeBytes(path("Elsewhere/Planted.motn"), tags("9.9", "9.9"));
    const struct {
        const char* label;
        std::function<void(const QString& at)> swapIn;
    } swaps[] = {
        {"a link to a template elsewhere", [&](const QString& at) { makeSymlink(path("Elsewhere/Planted.motn"), at); }},
        {"a FIFO", [](const QString& at) { ASSERT_EQ(::mkfifo(QFile::encodeName(at).constData(), 0644), 0); }},
    };
    int index = 0;
    for (const auto& swap : swaps) {
        SCOPED_TRACE(swap.label);
        const QString plugin = path(QStringLiteral("Plugin%1").arg(index++));
        writeBytes(plugin + "/A.motn", tags("5.9", "5.3"));
        writeBytes(plugin + "/B.motn", tags("5.10", "5.4"));
        const ino_t a = inodeOf(plugin + "/A.motn");
        int reads = 0;
        const auto summary = tallied(plugin, [&](int fd) {
            if (reads++ > 0)
                return;
            // Whichever the walk reads first, the other one is replaced now.
            const QString other = plugin + (inodeOf(fd) == a ? "/B.motn" : "/A.motn");
            ASSERT_EQ(::unlink(QFile::encodeName(other).constData()), 0);
            swap.swapIn(other);
        });
        EXPECT_EQ(reads, 1);
        EXPECT_EQ(summary.templateFileCount, 1);
        EXPECT_NE(summary.ozml, QStringLiteral("9.9"));
        EXPECT_EQ(summary.counts.size(), 1);
    }
}

// A link planted as a template is followed only to a regular file: a FIFO (or device) it
// leads to is never opened, not even without blocking, since opening alone acts on some.
TEST_F(TemplateHeadsTest, ALinkedTemplateIsOpenedOnlyWhenItLeadsToARegularFile)
{
    const QString fifo = path("Elsewhere/pipe");
    QDir().mkpath(path("Elsewhere"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    writeBytes(path("Elsewhere/Real.motn"), tags("5.12", "5.5"));
    const QString plugin = path("Plugin");
    makeSymlink(fifo, plugin + "/Pipe.motn");
    makeSymlink(path("Elsewhere/Real.motn"), plugin + "/Real.motn");

    OpenWatch watch(fifo);
    ASSERT_TRUE(watch.valid());
    {
        // The watch sees an open that does not block.
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ::close(fd);
        ASSERT_TRUE(watch.opened());
    }
    for (const auto& summary : {TemplateInspector::versionSummary(plugin), tallied(plugin)}) {
        EXPECT_EQ(summary.templateFileCount, 1);
        EXPECT_EQ(summary.ozml, QStringLiteral("5.12"));
    }
    EXPECT_FALSE(watch.opened());
}

// The handle left for a template may run out (or be refused to the user): its bytes still
// count towards the plug-in's size, though it is not read.
TEST_F(TemplateHeadsTest, ATemplateThatCannotBeOpenedStillCountsItsSize)
{
    const QString plugin = path("Plugin");
    writeBytes(plugin + "/Only.motn", tags("5.9", "5.3") + QByteArray(20000, 'z'));
    const qint64 expected = allocatedSize(plugin + "/Only.motn");
    ASSERT_GT(expected, 0);

    // Root opens any file, so the failure is injected: one handle is left, for the folder.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    int reads = 0;
    LibraryWalk::Result walk;
    {
        const FileLimit limit(rlim_t(lowestFree + 1));
        walk = LibraryWalk::walk(FsPath::toBytes(plugin), LibraryWalk::allocatedSize,
                                 [&reads](int, const struct stat&) { ++reads; });
    }

    EXPECT_EQ(reads, 0);
    EXPECT_EQ(walk.allocatedBytes, expected);
    // Read, it counts the same.
    EXPECT_EQ(LibraryWalk::walk(FsPath::toBytes(plugin), LibraryWalk::allocatedSize,
                                [&reads](int, const struct stat&) { ++reads; })
                  .allocatedBytes,
              expected);
    EXPECT_EQ(reads, 1);
}

// The whole scan: a planted link to a FIFO never holds it up, and every template is read
// relative to its plug-in, whose size and versions come out as a path-by-path read gives them.
TEST_F(TemplateHeadsTest, TheScanReadsEveryPluginsHeadsThroughItsOwnWalk)
{
    TestEnv::reset();
    TemplateOptions newer;
    newer.ozml = QStringLiteral("5.12");
    newer.displayVersion = QStringLiteral("5.6");
    newer.approxBytes = 40 * 1024;
    TemplateOptions cut;
    cut.cutHeadInsideCharacter = true;
    const QString glow = makeTemplatePlugin(PluginRoot::system, ZFCPluginType::effect, "Glow", newer);
    writeBytes(glow + "/Deep/Er/Older.motn", templateBytes(cut));
    const QString fifo = path("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    makeSymlink(fifo, glow + "/Planted.motn");
    const QString wipe = makeTemplatePlugin(PluginRoot::user, ZFCPluginType::transitions, "Wipe", cut, "motr");

    OpenWatch watch(fifo);
    ASSERT_TRUE(watch.valid());
    const auto result = PluginScanner::scan({PluginRoot::user, PluginRoot::system});
    EXPECT_FALSE(watch.opened());
    ASSERT_EQ(result.plugins.size(), 2);
    for (const Plugin& plugin : result.plugins) {
        SCOPED_TRACE(plugin.name.toStdString());
        const auto summary = TemplateInspector::versionSummary(plugin.path);
        EXPECT_EQ(plugin.ozmlVersion, summary.ozml);
        EXPECT_EQ(plugin.motionVersion, summary.displayVersion);
        EXPECT_EQ(plugin.templateFileCount, summary.templateFileCount);
        EXPECT_EQ(plugin.sizeBytes, PluginScanner::directorySize(plugin.path));
        EXPECT_TRUE(plugin.identity.known());
    }
    EXPECT_EQ(result.plugins[0].path, wipe);
    EXPECT_EQ(result.plugins[0].ozmlVersion, QStringLiteral("5.11"));
    EXPECT_EQ(result.plugins[1].ozmlVersion, QStringLiteral("5.12"));
    EXPECT_EQ(result.plugins[1].motionVersion, QStringLiteral("5.6"));
    EXPECT_EQ(result.plugins[1].templateFileCount, 2);
}
