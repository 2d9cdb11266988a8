#include <gtest/gtest.h>

#include <cerrno>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "LoomworkKit/ZFCPackageError.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/FileOps.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/market/MarketInstallRegistry.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

namespace {

class MarketInstallerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
        AdminAuth::resetExplanation();
        QDir().mkpath(TestEnv::systemLibrary());
        ASSERT_TRUE(m_work.isValid());
    }

    QString path(const QString& name) const { return m_work.filePath(name); }

    static QString titles(const QString& library) { return library + "/Titles.localized"; }

    // Plug-in folders already in a library, each with one file.
    static void seed(const QString& category, const QStringList& names)
    {
        for (const QString& name : names)
            PackageMaker::makeFolder(category, name, {{"old.txt", "old " + name.toUtf8()}});
    }

    // Runs install() and returns the thrown text, empty on success.
    static QString installError(const QString& file, MarketInstallOutcome* outcome = nullptr)
    {
        try {
            const auto result = MarketInstaller::install(file, "p1", "市场名");
            if (outcome)
                *outcome = result;
            return {};
        } catch (...) {
            return MarketInstaller::describe(std::current_exception());
        }
    }

    QTemporaryDir m_work;
};

} // namespace

TEST(MarketInstallerNames, SafeFileName)
{
    const QString base130(130, QChar('a'));
    const struct {
        QString in;
        QString out;
    } cases[] = {
        {"a/b.zfcp", "a_b.zfcp"},
        {"a\\b", "a_b"},
        {"  ", "下载文件"},
        {".", "下载文件"},
        {"..", "下载文件"},
        {QString("a") + QChar(0) + "b.zip", "ab.zip"},
        {"../../etc/passwd", "_.._etc_passwd"},
        // A leading dot would hide the download.
        {" . . ", "下载文件"},
        {".zfcp", "zfcp"},
        {".bashrc", "bashrc"},
        {" ..\t. a.zip", "a.zip"},
        {"a..b.", "a..b."},
        {" 光晕 Glow.zfcp\n", "光晕 Glow.zfcp"},
        {"\u202Egnp.zfcp", "_gnp.zfcp"},
        {"a\nb\tc\x7F\u0085.zip", "a_b_c__.zip"},
        {"\u200E\u200Fa\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069.zip", "__a________.zip"},
        {"invoice\u2028\u200Bexe\u2029\u2060\uFEFF\u00AD.zip", "invoice__exe____.zip"},
        {"a\U000E0041b.zip", "a_b.zip"}, // a tag character
        {"...", "下载文件"},
        {" .... ", "下载文件"},
        {base130 + ".zfcp", QString(106, QChar('a')) + ".zfcp"},
        {base130, QString(110, QChar('a'))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.toStdString());
        EXPECT_EQ(MarketInstaller::safeFileName(c.in), c.out);
    }

    // At most 240 UTF-8 bytes, whole characters, the extension kept.
    const QString flag = QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3"); // two code points, one character
    for (const QString& long_ : {QString(10000, QChar(u'中')) + ".zfcp", QString(100, QChar(u'中')) + ".zfcp",
                                 flag.repeated(40) + ".zfcp"}) {
        SCOPED_TRACE(long_.left(20).toStdString());
        const QString safe = MarketInstaller::safeFileName(long_);
        EXPECT_LE(safe.toUtf8().size(), 240);
        EXPECT_GT(safe.toUtf8().size(), 200);
        EXPECT_EQ(safe.endsWith(".zfcp"), long_.endsWith(".zfcp"));
        if (long_.startsWith(flag)) {
            EXPECT_EQ(safe.chopped(5).size() % flag.size(), 0) << "a flag cut in half";
        }
    }

    // One character longer than the budget, or a base that does not fit beside its extension:
    // still a visible name, never an empty or hidden one; half a surrogate pair is no character.
    const QString heavy = "a" + QString(200, QChar(0x0301));
    const QString xs(238, QChar('x'));
    const QList<std::pair<QString, QString>> edges{
        {heavy, "下载文件"},
        {heavy + ".zfcp", "下载文件.zfcp"},
        {"中中." + xs, "中中." + xs.left(107)},
        {QString("a") + QChar(0xD800) + "b.zip", "a_b.zip"},
    };
    for (const auto& [in, out] : edges) {
        SCOPED_TRACE(in.left(8).toStdString());
        EXPECT_EQ(MarketInstaller::safeFileName(in), out);
    }
}

TEST(MarketInstallerNames, ConflictMessageListsTenOfTwelve)
{
    QStringList twelve;
    for (int i = 1; i <= 12; ++i)
        twelve << QString("Clash %1（系统库）").arg(i, 2, 10, QChar('0'));
    const QString message = MarketInstaller::conflictMessage(twelve);
    EXPECT_TRUE(message.startsWith("以下插件已存在，是否覆盖？\n\nClash 01（系统库）、Clash 02（系统库）"));
    EXPECT_TRUE(message.contains("Clash 10（系统库） 等 12 个\n\n点「覆盖」会用下载到的版本替换原有插件文件，点「取消」中止本次安装。"));
    EXPECT_FALSE(message.contains("Clash 11"));
    EXPECT_FALSE(MarketInstaller::conflictMessage(twelve.mid(0, 10)).contains(" 等 "));
}

TEST_F(MarketInstallerTest, ClashesAreListedPerLibraryInPlainStringOrder)
{
    seed(titles(TestEnv::systemLibrary()), {"Glow"});
    seed(titles(TestEnv::userLibrary()), {"Glow"});
    seed(TestEnv::systemLibrary() + "/Effects.localized", {"Spark"});
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "Glow"}, {"subtitle", "Spark"}, {"odd", "Glow"}});
    FakeAlertPresenter presenter;

    EXPECT_EQ(installError(path("p.zfcp")), "已取消安装：目标库里的同名插件保持不变");
    ASSERT_EQ(presenter.questions().size(), 1);
    const auto question = presenter.questions().first();
    EXPECT_EQ(question.title, "插件库里已有同名插件");
    EXPECT_EQ(question.primary, "覆盖");
    EXPECT_EQ(question.secondary, "取消");
    // "用" (U+7528) sorts before "系" (U+7CFB); Spark under Effects is no clash for a title.
    EXPECT_TRUE(question.message.contains("\n\nGlow（用户库）、Glow（系统库）\n\n"));
    EXPECT_FALSE(question.message.contains("Spark"));
}

TEST_F(MarketInstallerTest, CancelAtTheClashLeavesEveryFileAsItWas)
{
    const QString category = titles(TestEnv::systemLibrary());
    seed(category, {"Glow"});
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "New"}, {"subtitle", "Glow"}});
    const auto before = PackageMaker::readTree(TestEnv::systemLibrary());
    FakeAlertPresenter presenter; // answers "取消"

    EXPECT_EQ(installError(path("p.zfcp")), "已取消安装：目标库里的同名插件保持不变");
    EXPECT_EQ(PackageMaker::readTree(TestEnv::systemLibrary()), before);
    EXPECT_TRUE(MarketInstallRegistry::entries().isEmpty());
}

TEST_F(MarketInstallerTest, InstallsEachPluginWholeAndRecordsIt)
{
    const QString category = titles(TestEnv::systemLibrary());
    seed(category, {"Glow"});
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "Glow"}, {"effect", "Spark"}, {"unknown", "Odd"}});
    FakeAlertPresenter presenter;
    presenter.queueAnswers({true});

    std::vector<double> progress;
    const auto outcome = MarketInstaller::install(path("p.zfcp"), "p1", "市场名", [&](double f) { progress.push_back(f); });
    EXPECT_EQ(outcome.count, 2);
    EXPECT_EQ(outcome.paths, QStringList({category + "/Glow", TestEnv::systemLibrary() + "/Effects.localized/Spark"}));
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow").keys(), QStringList({"Info.txt"})) << "the old folder is gone";
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({"Glow"})) << "no staging left";
    for (const QString& installed : outcome.paths)
        EXPECT_TRUE(MarketInstallRegistry::isMarket(installed)) << installed.toStdString();
    EXPECT_EQ(MarketInstallRegistry::entries().value(outcome.paths.first()).name, "市场名");
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 1.0);
}

// The plug-ins stand but the market's record of them cannot be saved: the install is done,
// and its notes say the record was not saved.
TEST_F(MarketInstallerTest, ARecordThatCannotBeSavedIsANoteNotAFailure)
{
    ASSERT_TRUE(QDir().mkpath(MarketInstallRegistry::fileURL() + "/in-the-way"));
    MarketInstallRegistry::reloadFromDisk();
    PackageMaker::writePackage(path("p.zfcp"), {{"effect", "Spark"}});
    MarketInstallOutcome outcome;
    EXPECT_EQ(installError(path("p.zfcp"), &outcome), QString());
    EXPECT_EQ(outcome.count, 1);
    EXPECT_EQ(PackageMaker::readTree(TestEnv::systemLibrary() + "/Effects.localized/Spark").keys(), QStringList({"Info.txt"}));
    EXPECT_EQ(outcome.notes.filter(MarketInstallRegistry::fileURL()).size(), 1) << outcome.notes.join("\n").toStdString();
}

TEST_F(MarketInstallerTest, APackageThatBreaksHalfwayKeepsTheOldPlugin)
{
    const QString category = titles(TestEnv::systemLibrary());
    seed(category, {"Big"});
    PackageMaker::pack(path("big.zfcp"), {{ZFCPluginType::subtitle, "Big", {{"clip.bin", PackageMaker::noise(3 << 20, 7)}}}},
                       path("src"));
    PackageMaker::breakSecondChunk(path("big.zfcp"), 0);
    FakeAlertPresenter presenter;
    presenter.queueAnswers({true});
    const auto before = PackageMaker::readTree(category);

    EXPECT_FALSE(installError(path("big.zfcp")).isEmpty());
    EXPECT_EQ(PackageMaker::readTree(category), before);
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({"Big"}));
    EXPECT_TRUE(MarketInstallRegistry::entries().isEmpty());

    QFile::resize(path("big.zfcp"), 10);
    EXPECT_FALSE(installError(path("big.zfcp")).isEmpty());
    EXPECT_EQ(installError(path("missing.zfcp")), "文件或文件夹不存在");
}

// A package of three whose third plug-in fails, at extraction or at its swap: the two before
// it are not left installed, the old versions they replaced stand as they were, nothing is
// recorded, and the message says that nothing was installed.
TEST_F(MarketInstallerTest, APackageWhoseThirdPluginFailsInstallsNone)
{
    const QString library = TestEnv::systemLibrary();
    const struct {
        const char* label;
        bool breakThird;
        bool exchangeRefused;
        QString reason;
    } cases[] = {
        {"extraction", true, false, ""},
        {"swap", false, false, "磁盘空间不足"},
        {"swap by renames", false, true, "磁盘空间不足"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TestEnv::reset();
        MarketInstallRegistry::reloadFromDisk();
        seed(titles(library), {"Glow"});
        seed(library + "/Effects.localized", {"Spark"});
        QDir().mkpath(library + "/Generators.localized");
        PackageMaker::pack(path("three.zfcp"),
                           {{ZFCPluginType::subtitle, "Glow", {{"new.txt", "new"}}},
                            {ZFCPluginType::effect, "Spark", {{"new.txt", "new"}}},
                            {ZFCPluginType::generator, "Big", {{"clip.bin", PackageMaker::noise(3 << 20, 7)}}}},
                           path("src"));
        if (c.breakThird)
            PackageMaker::breakSecondChunk(path("three.zfcp"), 2);
        const auto before = PackageMaker::readTree(library);
        const auto oldGlow = BackupFixtures::snapshot(titles(library) + "/Glow");
        const auto oldSpark = BackupFixtures::snapshot(library + "/Effects.localized/Spark");
        FakeAlertPresenter presenter;
        presenter.queueAnswers({true});
        QString error;
        {
            FaultyFileOps files;
            if (c.exchangeRefused)
                files.failOn(FaultyFileOps::Op::exchange, "", EINVAL);
            if (!c.breakThird)
                files.failOn(FaultyFileOps::Op::rename, "/.Big.loomwork-market-", ENOSPC);
            error = installError(path("three.zfcp"));
        }
        EXPECT_TRUE(error.endsWith("\n（第 3 个插件失败，未安装任何插件）")) << error.toStdString();
        if (!c.reason.isEmpty()) {
            EXPECT_TRUE(error.startsWith(c.reason)) << error.toStdString();
        }
        EXPECT_EQ(PackageMaker::readTree(library), before);
        EXPECT_EQ(BackupFixtures::snapshot(titles(library) + "/Glow"), oldGlow);
        EXPECT_EQ(BackupFixtures::snapshot(library + "/Effects.localized/Spark"), oldSpark);
        EXPECT_TRUE(MarketInstallRegistry::entries().isEmpty());
        QDir(path("src")).removeRecursively();
    }
}

// A plug-in that cannot be swapped back holds the downloaded version: it is recorded as from
// the market and the message names it.
TEST_F(MarketInstallerTest, APluginThatCannotBeSwappedBackIsRecordedAndNamed)
{
    const QString category = titles(TestEnv::systemLibrary());
    seed(category, {"Glow", "Last"});
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "Glow"}, {"subtitle", "Last"}});
    struct NoWayBack : FileOps {
        int glowExchanges = 0;
        int stepFault(Step step, const QString& paths) override
        {
            if (step == Step::exchange && (paths.endsWith("/Last") || (paths.endsWith("/Glow") && ++glowExchanges == 2)))
                return EIO;
            return 0;
        }
    } files;
    FakeAlertPresenter presenter;
    presenter.queueAnswers({true});
    FileOps* const previous = FileOps::setCurrent(&files);
    const QString error = installError(path("p.zfcp"));
    FileOps::setCurrent(previous);
    EXPECT_TRUE(error.endsWith("\n（第 2 个插件失败，Glow 未能还原，已是下载的版本）")) << error.toStdString();
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow").keys(), QStringList({"Info.txt"}));
    EXPECT_EQ(PackageMaker::readTree(category + "/Last").keys(), QStringList({"old.txt"}));
    EXPECT_EQ(MarketInstallRegistry::entries().keys(), QStringList{category + "/Glow"});
}

// Without a sheet to rename them, plug-ins that would land in one folder, or in a folder named
// as ours are hidden, are refused before anything is asked or written.
TEST_F(MarketInstallerTest, PlugInsSharingAFolderOrNamedAsOurHiddenFoldersAreRefused)
{
    const QString digits = QStringLiteral("0123456789abcdef");
    const QString hidden = QStringLiteral("插件名称与提取所用的隐藏文件夹同形，不能提取：");
    struct Case {
        QList<PackageMaker::PackagedPlugin> plugins;
        QString error; // empty: installed
    };
    const QList<Case> cases{
        {{{"subtitle", "N"}, {"effect", "Fine"}, {"subtitle", " N\u3000"}},
         "已取消安装：封包里的插件「N」和「 N\u3000」会装进同一个文件夹，系统库里的插件保持不变"},
        {{{"subtitle", "Glow"}, {"effect", " .Glow.loomwork-rewrite-" + digits}}, hidden + ".Glow.loomwork-rewrite-" + digits},
        {{{"subtitle", "Same"}, {"effect", "Same"}}, {}},
        {{{"subtitle", ".Glow.loomwork-replaced-" + digits.toUpper()}}, {}},
    };
    for (qsizetype i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.plugins.last().name.toStdString());
        TestEnv::reset();
        QDir().mkpath(TestEnv::systemLibrary());
        const QString file = path(QStringLiteral("p%1.zfcp").arg(i));
        PackageMaker::writePackage(file, c.plugins);
        const auto before = PackageMaker::readTree(TestEnv::systemLibrary());
        FakeAlertPresenter presenter;
        MarketInstallOutcome outcome;
        EXPECT_EQ(installError(file, &outcome), c.error);
        if (c.error.isEmpty()) {
            EXPECT_EQ(outcome.count, c.plugins.size());
            continue;
        }
        EXPECT_TRUE(presenter.questions().isEmpty());
        EXPECT_EQ(PackageMaker::readTree(TestEnv::systemLibrary()), before);
        EXPECT_TRUE(MarketInstallRegistry::entries().isEmpty());
    }
}

// Every local user may write in the system library: nothing is installed through a link there.
TEST_F(MarketInstallerTest, ALinkedCategoryIsRefused)
{
    const QString outside = path("outside");
    QDir().mkpath(outside);
    PluginFixtures::makeSymlink(outside, titles(TestEnv::systemLibrary()));
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "Glow"}});
    const QString error = installError(path("p.zfcp"));
    EXPECT_TRUE(error.startsWith("路径经过符号链接：" + titles(TestEnv::systemLibrary()) + "\n")) << error.toStdString();
    EXPECT_TRUE(PackageMaker::namesIn(outside).isEmpty());
}

// A package it could install nothing of is refused with why, never reported as "0 installed".
TEST_F(MarketInstallerTest, OnlyUnknownTypesAreRefusedAndAskNothing)
{
    PackageMaker::writePackage(path("odd.zfcp"), {{"plugin", "Odd"}});
    FakeAlertPresenter presenter;
    MarketInstallOutcome outcome;
    EXPECT_EQ(installError(path("odd.zfcp"), &outcome), "插件「Odd」包含未知类型「plugin」，无法确定安装目录");
    EXPECT_TRUE(presenter.questions().isEmpty());
    EXPECT_TRUE(MarketInstallRegistry::entries().isEmpty());
}

TEST_F(MarketInstallerTest, AMissingSystemLibraryIsPreparedOrTheInstallRefused)
{
    PackageMaker::writePackage(path("p.zfcp"), {{"subtitle", "Glow"}});
    QDir(TestEnv::systemLibrary()).removeRecursively();
    {
        FakeAlertPresenter presenter; // declines the explanation
        RecordingAdminRunner runner;
        EXPECT_EQ(installError(path("p.zfcp")),
                  "已取消安装：系统库需要管理员授权（可到「设置 → 授权」完成授权后重试）");
        EXPECT_FALSE(QFile::exists(TestEnv::systemLibrary()));
    }
    {
        FakeAlertPresenter presenter;
        presenter.setDefaultAnswer(true);
        RecordingAdminRunner runner; // "succeeds" without doing anything
        AdminAuth::resetExplanation();
        EXPECT_EQ(installError(path("p.zfcp")),
                  "已取消安装：系统库需要管理员授权（可到「设置 → 授权」完成授权后重试）");
        EXPECT_EQ(runner.commands().size(), 1);
    }
    FakeAlertPresenter presenter;
    presenter.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    AdminAuth::resetExplanation();
    EXPECT_EQ(installError(path("p.zfcp")), "");
    EXPECT_TRUE(QFile::exists(titles(TestEnv::systemLibrary()) + "/Glow/Info.txt"));
}

TEST_F(MarketInstallerTest, MoveToDownloadsTakesTheNextFreeName)
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir(downloads).removeRecursively();
    QDir().mkpath(downloads);
    for (const char* taken : {"a.zip", "a (1).zip"}) {
        QFile file(downloads + "/" + taken);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const auto download = [&](const QString& name) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("data");
        return path(name);
    };

    const QString moved = MarketInstaller::moveToDownloads(download("x"), "a.zip");
    EXPECT_EQ(moved, downloads + "/a (2).zip");
    EXPECT_FALSE(QFile::exists(path("x")));
    EXPECT_EQ(MarketInstaller::moveToDownloads(download("y"), "../../evil"), downloads + "/_.._evil");
    EXPECT_EQ(MarketInstaller::moveToDownloads(download("readme"), ""), downloads + "/readme");
    EXPECT_EQ(MarketInstaller::moveToDownloads(download("readme"), ""), downloads + "/readme (1)");

    // Where the no-replace rename is refused (NFS, FUSE), the move still never replaces: here
    // "b.zip" appears just before the move, which then takes the next name.
    struct RefusingFileOps : FileOps {
        int renameNoReplace(const QString&, const QString& to) override
        {
            QFile theirs(to);
            if (to.endsWith("/b.zip") && theirs.open(QIODevice::NewOnly))
                theirs.write("theirs");
            return EINVAL;
        }
    } refusing;
    FileOps* const previous = FileOps::setCurrent(&refusing);
    EXPECT_EQ(MarketInstaller::moveToDownloads(download("z"), "b.zip"), downloads + "/b (1).zip");
    FileOps::setCurrent(previous);
    EXPECT_EQ(PackageMaker::readTree(downloads).value("b.zip"), "theirs");
    EXPECT_EQ(PackageMaker::readTree(downloads).value("b (1).zip"), "data");
    EXPECT_FALSE(QFile::exists(path("z")));

    try {
        MarketInstaller::moveToDownloads(path("gone"), "b.zip");
        ADD_FAILURE() << "a missing file moved";
    } catch (const MarketInstallError& e) {
        EXPECT_EQ(e.errorDescription(), "无法移到「下载」：文件或文件夹不存在");
    }
    QDir(downloads).removeRecursively();
}
