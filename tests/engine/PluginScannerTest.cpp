#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTest>

#include "engine/files/AdminAuth.h"
#include "engine/core/FsPath.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/library/PluginScanner.h"
#include "engine/core/SystemError.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

namespace {

class PluginScannerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
    }

    static const PluginRoot user;
    static const PluginRoot system;
};

const PluginRoot PluginScannerTest::user{PluginRoot::user};
const PluginRoot PluginScannerTest::system{PluginRoot::system};

QStringList describe(const QList<Plugin>& plugins)
{
    QStringList out;
    for (const auto& p : plugins)
        out << p.root.rawValue() + QLatin1Char('/') + QString::fromLatin1(p.type.rawValue().data()) + QLatin1Char('/') + p.name;
    return out;
}

// Every entry below `dir` with its size and modification time.
QStringList treeListing(const QString& dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        if (info.isDir() || info.isSymLink())
            out << it.filePath();
        else
            out << QStringLiteral("%1 %2 %3").arg(it.filePath()).arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch());
    }
    out.sort();
    return out;
}

} // namespace

TEST_F(PluginScannerTest, ListsBothLibrariesInTheirOrder)
{
    makePlugin(system, ZFCPluginType::effect, "Aardvark");
    makePlugin(user, ZFCPluginType::subtitle, "Lower Third");
    makePlugin(user, ZFCPluginType::generator, "Zebra Gradient");
    makePlugin(user, ZFCPluginType::effect, "Glow 10");
    makePlugin(user, ZFCPluginType::effect, "Glow 2");
    makePlugin(user, ZFCPluginType::effect, "banana");
    makePlugin(user, ZFCPluginType::effect, "Apple");
    makePlugin(user, ZFCPluginType::transitions, "Wipe");
    makePlugin(system, ZFCPluginType::subtitle, "标题 Pro");
    // Neither a plain file nor a hidden folder is a plug-in.
    writeBytes(categoryFolder(user, ZFCPluginType::effect) + "/readme.txt", "not a plug-in");
    makePlugin(user, ZFCPluginType::effect, ".Hidden");
    // A link to nowhere is skipped; a link to a folder is a plug-in.
    makeSymlink("/nonexistent/plugin", categoryFolder(user, ZFCPluginType::effect) + "/Dangling");
    const QString elsewhere = TestEnv::root() + "/Elsewhere/Linked Effect";
    QDir().mkpath(elsewhere);
    makeSymlink(elsewhere, categoryFolder(system, ZFCPluginType::effect) + "/Linked Effect");

    const auto result = PluginScanner::scan({user, system});
    EXPECT_TRUE(result.errors.isEmpty());
    const QStringList expected{
        "user/effect/Apple", "user/effect/banana", "user/effect/Glow 2", "user/effect/Glow 10",
        "user/generator/Zebra Gradient", "user/subtitle/Lower Third", "user/transitions/Wipe",
        "system/effect/Aardvark", "system/effect/Linked Effect", "system/subtitle/标题 Pro",
    };
    EXPECT_EQ(describe(result.plugins), expected);
    EXPECT_EQ(result.plugins.first().path, TestEnv::userLibrary() + "/Effects.localized/Apple");

    // The order given is the order scanned, but the list is always sorted the same way.
    EXPECT_EQ(describe(PluginScanner::scan({system, user}).plugins), expected);
    EXPECT_TRUE(PluginScanner::scan({}).plugins.isEmpty());
    EXPECT_TRUE(PluginScanner::scan({}).errors.isEmpty());
}

TEST_F(PluginScannerTest, AMissingLibraryGivesItsErrorTextAndTheOtherIsStillScanned)
{
    makePlugin(system, ZFCPluginType::generator, "Clouds");
    auto result = PluginScanner::scan({user, system});
    EXPECT_EQ(result.errors.size(), 1);
    EXPECT_EQ(result.errors.value(user), QStringLiteral("目录不存在"));
    EXPECT_EQ(describe(result.plugins), QStringList{"system/generator/Clouds"});

    // A file where the library should be is no library either.
    QDir().mkpath(QFileInfo(TestEnv::userLibrary()).absolutePath());
    writeBytes(TestEnv::userLibrary(), "file");
    result = PluginScanner::scan({user, system});
    EXPECT_EQ(result.errors.value(user), QStringLiteral("目录不存在"));

    // A library without category folders is simply empty.
    QFile::remove(TestEnv::userLibrary());
    QDir().mkpath(TestEnv::userLibrary());
    result = PluginScanner::scan({user});
    EXPECT_TRUE(result.errors.isEmpty());
    EXPECT_TRUE(result.plugins.isEmpty());

}

TEST_F(PluginScannerTest, ALibraryThatCannotBeListedGivesTheSystemsDescription)
{
    makePlugin(system, ZFCPluginType::generator, "Clouds");
    // Root lists any folder, so the failure is injected: no file descriptor is left for
    // the listing.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const auto result = PluginScanner::scan({system});
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_TRUE(result.plugins.isEmpty());
    EXPECT_EQ(result.errors.value(system), SystemError::describe(EMFILE));
    EXPECT_NE(result.errors.value(system), QStringLiteral("目录不存在"));
}

TEST_F(PluginScannerTest, FillsSizesDatesVersionsAndMarketMarks)
{
    TemplateOptions options;
    options.ozml = "5.12";
    options.displayVersion = "5.5";
    const QString glow = makeTemplatePlugin(user, ZFCPluginType::effect, "Glow", options);
    writeBytes(glow + "/Extras/second.moef", templateBytes(TemplateOptions{}));
    writeBytes(glow + "/.DS_Store", QByteArray(9000, 'h'));
    writeBytes(glow + "/.cache/big.bin", QByteArray(20000, 'h'));
    writeBytes(glow + "/Support.bundle/Contents/data.bin", QByteArray(5000, 'p'));
    makeSymlink(glow + "/Glow.motn", glow + "/Alias.motn");
    setModified(glow, 1700000000);

    qint64 expectedSize = 0;
    for (const char* f : {"/Glow.motn", "/Media/thumbnail.png", "/Extras/second.moef", "/Support.bundle/Contents/data.bin"})
        expectedSize += allocatedSize(glow + f);

    const QString empty = makePlugin(system, ZFCPluginType::transitions, "Empty");
    writeBytes(empty + "/.only-hidden", "x");
    QDir().mkpath(empty + "/Nested/Deeper");
    EXPECT_EQ(MarketInstallRegistry::registerPaths({empty}, "mk-7", "Empty Transition"), 0);

    const auto result = PluginScanner::scan({user, system});
    ASSERT_EQ(result.plugins.size(), 2);
    const Plugin& g = result.plugins[0];
    EXPECT_EQ(g.name, "Glow");
    EXPECT_EQ(g.sizeBytes, expectedSize);
    EXPECT_EQ(g.modifiedAt, QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC));
    EXPECT_EQ(g.ozmlVersion, "5.12");
    EXPECT_EQ(g.motionVersion, "5.5");
    EXPECT_EQ(g.templateFileCount, 3); // the link is read too
    EXPECT_FALSE(g.isMarket);

    const Plugin& e = result.plugins[1];
    EXPECT_EQ(e.sizeBytes, 0);
    EXPECT_EQ(e.sizeText(), "零 KB");
    EXPECT_FALSE(e.ozmlVersion.has_value());
    EXPECT_FALSE(e.motionText().has_value());
    EXPECT_EQ(e.templateFileCount, 0);
    EXPECT_TRUE(e.isMarket);
    EXPECT_EQ(PluginScanner::directorySize(glow), expectedSize);
}

TEST_F(PluginScannerTest, SurvivesOddEntries)
{
    const QString category = categoryFolder(user, ZFCPluginType::effect);
    // A folder name that is not UTF-8: listed, and its size still counted through its real name.
    const QByteArray rawName = QFile::encodeName(category) + "/Caf\xe9 Glow";
    ASSERT_EQ(::mkdir(rawName.constData(), 0755), 0);
    {
        QFile f(QFile::decodeName(rawName + "/x.motn"));
        const std::string path = (rawName + "/x.motn").toStdString();
        FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        const QByteArray bytes = templateBytes(TemplateOptions{});
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
        std::fclose(out);
    }
    // A template that is a FIFO, one that is binary, one that is a broken link.
    const QString odd = makePlugin(user, ZFCPluginType::effect, "Odd");
    ASSERT_EQ(::mkfifo(QFile::encodeName(odd + "/pipe.motn").constData(), 0644), 0);
    writeBytes(odd + "/binary.motn", QByteArray("\x00\x01\xff\xfe\x80", 5).repeated(2000));
    makeSymlink("/nonexistent/gone.motn", odd + "/gone.motn");

    // Not even a name of a rewrite's old temporary form is the scan's to remove.
    writeBytes(odd + "/.loomwork-rewrite-0123456789abcdef", "x");
    setModified(odd + "/.loomwork-rewrite-0123456789abcdef", 1000000000);
    const QStringList before = treeListing(TestEnv::userLibrary());
    const auto result = PluginScanner::scan({user});
    EXPECT_EQ(treeListing(TestEnv::userLibrary()), before); // a scan writes nothing into a library
    ASSERT_EQ(result.plugins.size(), 2);
    const Plugin& cafe = result.plugins[0];
    EXPECT_TRUE(cafe.name.startsWith("Caf"));
    EXPECT_GT(cafe.sizeBytes, 0);
    EXPECT_EQ(cafe.ozmlVersion, "5.11");
    EXPECT_EQ(cafe.templateFileCount, 1);
    const Plugin& o = result.plugins[1];
    EXPECT_EQ(o.name, "Odd");
    EXPECT_EQ(o.templateFileCount, 0);
    EXPECT_FALSE(o.ozmlVersion.has_value());
}

TEST_F(PluginScannerTest, NamesThatAreNotUtf8KeepTheirBytesThroughDeleteAndAdminCommands)
{
    const QByteArray category = QFile::encodeName(categoryFolder(user, ZFCPluginType::effect));
    const QByteArray bad = category + "/Bad\xffName";
    const QByteArray lookalike = category + "/Bad\xef\xbf\xbdName"; // a real U+FFFD
    for (const QByteArray& folder : {bad, lookalike}) {
        ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
        FILE* file = std::fopen((folder + "/a.txt").constData(), "wb");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    const auto plugins = PluginScanner::scan({user}).plugins;
    ASSERT_EQ(plugins.size(), 2);
    EXPECT_NE(plugins[0].id(), plugins[1].id());
    EXPECT_EQ(plugins[0].name, QString::fromUtf8("Bad\xef\xbf\xbdName")); // only the shown name is decoded
    const Plugin& badPlugin = FsPath::toBytes(plugins[0].path) == bad.toStdString() ? plugins[0] : plugins[1];
    ASSERT_EQ(FsPath::toBytes(badPlugin.path), bad.toStdString());

    // The administrator's shell command names the same bytes.
    QProcess shell;
    shell.start("/bin/sh", {"-c", "printf %s " + AdminAuth::quote(badPlugin.path)});
    ASSERT_TRUE(shell.waitForFinished());
    EXPECT_EQ(shell.readAllStandardOutput(), bad);

    OperationsCenter center;
    center.remove({badPlugin}, {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
    struct stat st;
    EXPECT_NE(::lstat(bad.constData(), &st), 0);
    EXPECT_EQ(::lstat(lookalike.constData(), &st), 0);
}

namespace {

// Every field of every plug-in, one line each, in the list's order.
QByteArray listing(const PluginScanner::ScanResult& result)
{
    QByteArray out;
    for (const Plugin& p : result.plugins) {
        const QList<QByteArray> fields{
            p.root.rawValue().toUtf8(), QByteArray(p.type.rawValue().data()), p.name.toUtf8(), p.path.toUtf8(),
            QByteArray::number(p.sizeBytes), QByteArray::number(p.modifiedAt ? p.modifiedAt->toMSecsSinceEpoch() : -1),
            p.ozmlVersion.value_or("-").toUtf8(), p.motionVersion.value_or("-").toUtf8(),
            QByteArray::number(p.templateFileCount), QByteArray::number(int(p.isMarket)),
            QByteArray::number(qulonglong(p.identity.device)) + ':' + QByteArray::number(qulonglong(p.identity.inode))};
        out += fields.join('|') + '\n';
    }
    for (auto it = result.errors.cbegin(); it != result.errors.cend(); ++it)
        out += "error " + it.key().rawValue().toUtf8() + ' ' + it.value().toUtf8() + '\n';
    return out;
}

// Makes the path from the test's root down to `folder` searchable by others while it lives.
class SearchableBy
{
public:
    explicit SearchableBy(const QString& folder)
    {
        for (QString at = folder; at.startsWith(TestEnv::root()); at = QFileInfo(at).path()) {
            struct stat st {};
            const QByteArray path = QFile::encodeName(at);
            if (::stat(path.constData(), &st) == 0 && ::chmod(path.constData(), st.st_mode | S_IXOTH | S_IROTH) == 0)
                m_modes.append({path, st.st_mode & 07777});
        }
    }
    ~SearchableBy()
    {
        for (const auto& [path, mode] : m_modes)
            ::chmod(path.constData(), mode);
    }

private:
    QList<QPair<QByteArray, mode_t>> m_modes;
};

} // namespace

// The plug-in folders are looked at on many threads; the list must not depend on how many,
// nor on which finished first: names the Finder's order takes as equal keep the listing's
// order, and folders the user may not read give the same partial answers.
TEST_F(PluginScannerTest, ManyThreadsListExactlyWhatOneThreadLists)
{
    TemplateOptions options;
    options.approxBytes = 600;
    int made = 0;
    for (const PluginRoot root : PluginRoot::allCases()) {
        for (const ZFCPluginType type : ZFCPluginType::allCases()) {
            for (int i = 0; i < 24; ++i, ++made) {
                options.ozml = QStringLiteral("5.%1").arg(made % 7 + 5);
                options.displayVersion = made % 3 ? std::optional<QString>(QStringLiteral("5.%1").arg(made % 4)) : std::nullopt;
                // Names the Finder's order takes as equal (case, leading zeros), in threes.
                const QString names[] = {QStringLiteral("Glow %1").arg(i / 4), QStringLiteral("glow %1").arg(i / 4),
                                         QStringLiteral("GLOW 0%1").arg(i / 4), QStringLiteral("插件 %1").arg(i)};
                const QString folder = makeTemplatePlugin(root, type, names[i % 4], options, i % 2 ? "motn" : "moef");
                for (int extra = 0; extra < i % 4; ++extra)
                    writeBytes(folder + QStringLiteral("/Sub %1/Deeper/t%1.motr").arg(extra), templateBytes(options));
                setModified(folder, 1700000000 + made);
            }
            const QByteArray raw = QFile::encodeName(categoryFolder(root, type)) + "/Caf\xe9 " + QByteArray(type.rawValue().data());
            ASSERT_EQ(::mkdir(raw.constData(), 0755), 0);
            ++made;
        }
    }
    writeBytes(categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/not a plug-in.txt", "x");
    makeSymlink("/nonexistent", categoryFolder(PluginRoot::system, ZFCPluginType::generator) + "/Dangling");
    // The folders no one but their owner may read.
    const QString locked = makeTemplatePlugin(user, ZFCPluginType::effect, "Locked", options);
    const QString halfLocked = makeTemplatePlugin(user, ZFCPluginType::generator, "Half Locked", options);
    writeBytes(halfLocked + "/Private/hidden.motn", templateBytes(options));
    writeBytes(halfLocked + "/Private/more.png", QByteArray(9000, 'p'));
    const QString lockedCategory = categoryFolder(system, ZFCPluginType::transitions);
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(halfLocked + "/Private").constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(lockedCategory).constData(), 0), 0);

    const SearchableBy searchable(TestEnv::userLibrary());
    const SearchableBy searchableSystem(TestEnv::systemLibrary());
    // Root reads every folder: the scans run in a child as another user, which writes the
    // listings, each ended by a "=".
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const unsigned threadCounts[] = {1, 2, 5, 64};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        const uid_t nobody = 65534;
        if (::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0))
            ::_exit(3);
        for (const unsigned threads : threadCounts) {
            const QByteArray out = listing(PluginScanner::scan({user, system}, threads)) + '=';
            if (::write(channel[1], out.constData(), size_t(out.size())) != out.size())
                ::_exit(4);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    QByteArray all;
    char buffer[65536];
    for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        all.append(buffer, n);
    ::close(channel[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(QFile::encodeName(locked).constData(), 0755);
    ::chmod(QFile::encodeName(halfLocked + "/Private").constData(), 0755);
    ::chmod(QFile::encodeName(lockedCategory).constData(), 0755);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    QList<QByteArray> runs = all.split('=');
    ASSERT_EQ(runs.size(), qsizetype(std::size(threadCounts)) + 1);
    runs.removeLast();
    for (qsizetype k = 1; k < runs.size(); ++k)
        EXPECT_EQ(runs[k].toStdString(), runs[0].toStdString()) << threadCounts[k] << " threads";

    // What one thread lists: every plug-in but those of the category no one may list, the
    // folders that cannot be read with what could be.
    QHash<QByteArray, QList<QByteArray>> byName;
    int listed = 0;
    for (const QByteArray& line : runs[0].split('\n')) {
        if (line.isEmpty())
            continue;
        ++listed;
        const QList<QByteArray> fields = line.split('|');
        ASSERT_EQ(fields.size(), 11) << line.toStdString();
        byName.insert(fields[0] + '/' + fields[2], fields);
    }
    EXPECT_EQ(listed, made - 25 + 2);
    EXPECT_FALSE(runs[0].contains("system|transitions|"));
    EXPECT_FALSE(runs[0].contains("Dangling"));
    const QList<QByteArray> lockedFields = byName.value("user/Locked");
    ASSERT_EQ(lockedFields.size(), 11);
    EXPECT_EQ(lockedFields[4], "0");
    EXPECT_EQ(lockedFields[8], "0");
    const QList<QByteArray> half = byName.value("user/Half Locked");
    ASSERT_EQ(half.size(), 11);
    EXPECT_EQ(half[4].toLongLong(), allocatedSize(halfLocked + "/Half Locked.motn") + allocatedSize(halfLocked + "/Media/thumbnail.png"));
    EXPECT_EQ(half[8], "1");
}
