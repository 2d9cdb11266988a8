// The install sheet's two pages driven as a user would, offscreen; grabs of both pages go
// to build/screenshots for review.
#include <memory>
#include <optional>

#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

#include "ui/Appearance.h"
#include "sheets/InstallFileList.h"
#include "sheets/InstallHitList.h"
#include "sheets/InstallSheet.h"
#include "sheets/SheetPieces.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

using Choice = InstallSheetModel::Choice;
using Packaged = PackageMaker::PackagedPlugin;
using SheetPieces::RadioCard;

QString screenshotPath(const QString& name)
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    return QDir(dir).absoluteFilePath(name);
}

// Qt's messages while it lives.
struct MessageLog {
    static inline QStringList lines;
    static inline QtMessageHandler previous = nullptr;
    MessageLog()
    {
        lines.clear();
        previous = qInstallMessageHandler([](QtMsgType t, const QMessageLogContext& c, const QString& m) {
            lines << m;
            previous(t, c, m);
        });
    }
    ~MessageLog() { qInstallMessageHandler(previous); }
};

class InstallSheetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        ASSERT_TRUE(m_dir.isValid());
        ListFixtures::installTheme();
        QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
        Appearance::instance().apply();
        m_plans.clear();
        m_roots.clear();
        m_cancels = 0;
    }

    QString package(const QString& name, const QList<Packaged>& plugins)
    {
        const QString path = m_dir.filePath(name);
        PackageMaker::writePackage(path, plugins);
        return path;
    }

    // A sheet over a host window, as the root view presents it.
    InstallSheet* present(const QStringList& files, PluginRoot target)
    {
        m_host = std::make_unique<QWidget>();
        m_host->resize(900, 700);
        m_host->show();
        auto* sheet = new InstallSheet(
            files, target, [this](PluginRoot root) { m_roots.append(root); }, [this] { ++m_cancels; },
            [this](const InstallPlan& plan) { m_plans.append(plan); }, m_host.get());
        m_sheet = sheet;
        sheet->open();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet->model().isParsing(); }, 20000));
        QApplication::processEvents();
        return sheet;
    }

    template<typename T>
    static T* child(QWidget* sheet, const char* name)
    {
        T* found = sheet->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    static bool shown(QWidget* sheet, const char* name)
    {
        QWidget* widget = child<QWidget>(sheet, name);
        return widget && widget->isVisibleTo(sheet);
    }

    // Lets the page's height animation finish.
    static void settle()
    {
        QTest::qWait(InstallSheet::kForwardMs + 120);
        QApplication::processEvents();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QWidget> m_host;
    QPointer<InstallSheet> m_sheet;
    QList<InstallPlan> m_plans;
    QList<PluginRoot> m_roots;
    int m_cancels = 0;
};

} // namespace

TEST_F(InstallSheetTest, WhileParsingOnlyCancelWorks)
{
    const QString file = package("a.zfcp", {{"effect", "A"}});
    m_host = std::make_unique<QWidget>();
    // Built but not yet shown: the scan has not started, as in the first frame.
    auto* sheet = new InstallSheet({file}, PluginRoot::user, {}, [this] { ++m_cancels; },
                                   [this](const InstallPlan& plan) { m_plans.append(plan); }, m_host.get());
    QPointer<InstallSheet> guard(sheet);
    EXPECT_TRUE(sheet->model().isParsing());
    auto* install = child<QPushButton>(sheet, "installButton");
    EXPECT_FALSE(install->isEnabled());
    EXPECT_FALSE(shown(sheet, "conflictHint"));
    EXPECT_FALSE(shown(sheet, "parseError"));
    sheet->grab().save(screenshotPath("install-parsing.png"));
    // Return does nothing while the default button is disabled; Escape cancels.
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_TRUE(m_plans.isEmpty());
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_EQ(m_cancels, 1);
    EXPECT_TRUE(m_plans.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }, 30000)) << "the sheet deletes itself";
}

TEST_F(InstallSheetTest, AParseErrorReplacesTheListAndKeepsInstallDisabled)
{
    const QString good = package("good.zfcp", {{"effect", "A"}});
    const QString bad = m_dir.filePath("bad.zfcp");
    PluginFixtures::writeBytes(bad, "xx");
    InstallSheet* sheet = present({good, bad}, PluginRoot::user);
    EXPECT_TRUE(shown(sheet, "parseError"));
    auto* error = sheet->findChild<QWidget*>("parseError");
    bool named = false;
    for (QLabel* label : error->findChildren<QLabel*>())
        named = named || label->text().startsWith("无法解析 bad.zfcp：");
    EXPECT_TRUE(named);
    EXPECT_FALSE(shown(sheet, "conflictHint"));
    sheet->grab().save(screenshotPath("install-error.png"));
    EXPECT_FALSE(child<QPushButton>(sheet, "installButton")->isEnabled());
    QTest::mouseClick(child<QPushButton>(sheet, "installButton"), Qt::LeftButton);
    EXPECT_TRUE(m_plans.isEmpty());
    sheet->close(); // the window's close button
    EXPECT_EQ(m_cancels, 1);
}

TEST_F(InstallSheetTest, ReviewPageListsPackagesPicksTheLibraryAndInstallsWithoutClashes)
{
    InstallSheet* sheet = present({package("Single.zfcp", {{"effect", "Only"}}),
                                   package("Pair.zfcp", {{"subtitle", "S"}, {"transitions", "T"}})},
                                  PluginRoot::user);
    auto* list = sheet->findChild<InstallFileList*>();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->lineTexts(0), (QStringList{"Single.zfcp", "效果"}));
    EXPECT_EQ(list->lineTexts(1), (QStringList{"Pair.zfcp", "2 个", "字幕、转场"}));
    EXPECT_FALSE(shown(sheet, "conflictHint"));

    auto* user = child<RadioCard>(sheet, "userCard");
    auto* system = child<RadioCard>(sheet, "systemCard");
    EXPECT_TRUE(user->isSelected());
    EXPECT_EQ(ListFixtures::shownToolTip(system->toolTip()),
              "完整路径：" + TestEnv::systemLibrary()); // where installs go
    QTest::mouseClick(system, Qt::LeftButton);
    EXPECT_TRUE(system->isSelected());
    EXPECT_FALSE(user->isSelected());
    EXPECT_EQ(m_roots, (QList<PluginRoot>{PluginRoot::system}));

    // No clash: Return installs at once; the conflict page never shows.
    QTest::keyClick(sheet, Qt::Key_Return);
    ASSERT_EQ(m_plans.size(), 1);
    EXPECT_EQ(m_plans[0].root, PluginRoot::system);
    EXPECT_TRUE(m_plans[0].renames.isEmpty());
    EXPECT_EQ(m_cancels, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_sheet.isNull(); }, 30000));
}

TEST_F(InstallSheetTest, ConflictPageOffersTheThreeWaysWithPreviewAndList)
{
    PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, "Aurora");
    PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::subtitle, "Lower Third");
    const QStringList files{
        package("Cinematic Pack.zfcp", {{"effect", "Glow"}, {"effect", "Aurora"}, {"subtitle", "Lower Third"}}),
        package("Transitions.zfcp", {{"transitions", "Swipe"}, {"transitions", "Swipe"}, {"generator", "Grid"}}),
        package("Extras.zfcp", {{"generator", "Grid"}, {"effect", "Fresh"}})};
    MessageLog messages;
    InstallSheet* sheet = present(files, PluginRoot::system);
    auto* list = sheet->findChild<InstallFileList*>();
    EXPECT_EQ(list->lineTexts(0), (QStringList{"Cinematic Pack.zfcp", "3 个", "3 个同名", "字幕、效果"}));
    EXPECT_TRUE(shown(sheet, "conflictHint"));
    sheet->grab().save(screenshotPath("install-review.png"));

    QTest::mouseClick(child<QPushButton>(sheet, "installButton"), Qt::LeftButton);
    settle();
    ASSERT_EQ(sheet->findChild<QStackedWidget*>()->currentWidget()->objectName(), "conflictPage");
    EXPECT_GE(sheet->height(), InstallSheet::kConflictHeight);
    const int conflictHeight = sheet->height();
    EXPECT_TRUE(m_plans.isEmpty());

    // Rename is chosen and previews its names: 7 hits, 7 pairs, 4 rows and "…另有 3 个".
    EXPECT_EQ(child<QPushButton>(sheet, "confirmButton")->text(), "重命名并安装");
    ASSERT_TRUE(shown(sheet, "renamePreview"));
    auto* preview = sheet->findChild<QWidget*>("renamePreview");
    QStringList previewTexts;
    for (QLabel* label : preview->findChildren<QLabel*>())
        if (label->isVisibleTo(preview))
            previewTexts << label->text();
    EXPECT_TRUE(previewTexts.contains("Glow 2"));
    EXPECT_TRUE(previewTexts.contains("…另有 3 个"));
    auto* hits = sheet->findChild<InstallHitList*>();
    ASSERT_EQ(hits->count(), 7);
    EXPECT_EQ(hits->lineTexts(0), (QStringList{"Glow", "效果", "用户库"}));
    EXPECT_EQ(hits->lineTexts(3), (QStringList{"Swipe", "转场", "本批 2 次"}));
    sheet->grab().save(screenshotPath("install-conflict.png"));
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("dark"));
    Appearance::instance().apply();
    QApplication::processEvents();
    sheet->grab().save(screenshotPath("install-conflict-dark.png"));
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
    Appearance::instance().apply();

    // With a clash in the user library the move is blocked and cannot be chosen.
    auto* move = child<RadioCard>(sheet, "moveToUserChoice");
    EXPECT_FALSE(move->isEnabled());
    EXPECT_EQ(move->detail(), "这些插件在用户库里也有同名，换库依然会冲突，只能覆盖或重命名");
    QTest::mouseClick(move, Qt::LeftButton);
    EXPECT_EQ(sheet->model().choice(), Choice::rename);

    // Choosing overwrite hides the preview; back keeps the choice.
    QTest::mouseClick(child<RadioCard>(sheet, "overwriteChoice"), Qt::LeftButton);
    EXPECT_FALSE(shown(sheet, "renamePreview"));
    EXPECT_EQ(child<QPushButton>(sheet, "confirmButton")->text(), "覆盖并安装");
    sheet->grab().save(screenshotPath("install-conflict-overwrite.png"));
    QTest::mouseClick(sheet->findChild<QWidget*>("conflictPage")->findChildren<QPushButton*>().first(), Qt::LeftButton);
    settle();
    EXPECT_EQ(sheet->findChild<QStackedWidget*>()->currentWidget()->objectName(), "reviewPage");
    EXPECT_GE(sheet->height(), InstallSheet::kReviewHeight);
    EXPECT_LT(sheet->height(), conflictHeight);
    QTest::keyClick(sheet, Qt::Key_Return);
    settle();
    EXPECT_EQ(sheet->model().choice(), Choice::overwrite);

    // Return confirms the conflict page's way.
    QTest::keyClick(sheet, Qt::Key_Return);
    ASSERT_EQ(m_plans.size(), 1);
    EXPECT_EQ(m_plans[0].root, PluginRoot::system);
    EXPECT_TRUE(m_plans[0].renames.isEmpty());
    EXPECT_EQ(m_cancels, 0);
    EXPECT_FALSE(messages.lines.join('\n').contains("Negative sizes")) << messages.lines.join('\n').toStdString();
}

TEST_F(InstallSheetTest, PreviewShowsFourPairsAndCountsTheRest)
{
    struct Case {
        int pairs;
        bool overflow;
    };
    for (const Case c : {Case{4, false}, Case{6, true}}) {
        SCOPED_TRACE(c.pairs);
        SetUp();
        // Names too long for the row: the end, with the added " 2", stays in sight.
        QList<Packaged> plugins;
        for (int i = 0; i < c.pairs; ++i) {
            const QString name = QString("G%1 Cinematic Lower Third 电影感下三分格标题动画").arg(i);
            PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::generator, name);
            plugins.append({"generator", name});
        }
        InstallSheet* sheet = present({package(QString("g%1.zfcp").arg(c.pairs), plugins)}, PluginRoot::user);
        sheet->model().reviewConfirm();
        settle();
        auto* preview = sheet->findChild<QWidget*>("renamePreview");
        ASSERT_TRUE(preview->isVisibleTo(sheet));
        int rows = 0;
        QString more;
        for (QLabel* label : preview->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(preview))
                continue;
            if (label->text().startsWith("G") && label->text().endsWith(" 2")) {
                ++rows;
                const QString shown = static_cast<SheetPieces::LineLabel*>(label)->shownText();
                EXPECT_NE(shown, label->text()) << "cut";
                EXPECT_TRUE(shown.endsWith("动画 2")) << shown.toStdString();
            }
            if (label->text().startsWith("…"))
                more = label->text();
        }
        EXPECT_EQ(rows, 4);
        EXPECT_EQ(more, c.overflow ? QString("…另有 2 个") : QString());
        if (c.overflow)
            sheet->grab().save(screenshotPath("install-conflict-long-names.png"));
        // The user library is already the target: moving is dimmed and blocked.
        auto* move = child<RadioCard>(sheet, "moveToUserChoice");
        EXPECT_FALSE(move->isEnabled());
        EXPECT_EQ(move->detail(), "当前目标已经是用户库，这个方式只在系统库有同名时可用");
        sheet->reject();
        EXPECT_EQ(m_cancels, 1);
    }
}

// Overwriting another user's plug-ins in the system library is the administrator's step: the
// overwrite card names whose they are, the first few and a count, and the sheet stays within
// the screen however many there are.
TEST_F(InstallSheetTest, TheOverwriteCardNamesAnotherUsersPlugInsAndFitsTheScreen)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    struct Case {
        int theirs;
        QString counted; // how the list ends
    };
    const Case cases[] = {{2, QString()}, {40, QStringLiteral("……等 40 个")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.theirs);
        SetUp();
        QList<Packaged> plugins;
        for (int i = 0; i < c.theirs; ++i) {
            const QString name = QStringLiteral("Theirs %1").arg(i, 2, 10, QChar(u'0'));
            const QString path = PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, name);
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 4242, 4242), 0);
            plugins.append({"effect", name});
        }
        InstallSheet* sheet = present({package(QStringLiteral("theirs%1.zfcp").arg(c.theirs), plugins)}, PluginRoot::system);
        sheet->model().reviewConfirm();
        sheet->model().choose(InstallSheetModel::Choice::overwrite);
        settle();
        auto* overwrite = child<RadioCard>(sheet, "overwriteChoice");
        ASSERT_NE(overwrite, nullptr);
        const QString detail = overwrite->detail();
        EXPECT_TRUE(detail.contains(QStringLiteral("以下插件不是你的：\n「Theirs 00」属于用户「UID 4242」"))) << detail.toStdString();
        EXPECT_EQ(detail.contains(QStringLiteral("Theirs 03")), false) << "at most three names";
        EXPECT_EQ(detail.endsWith(c.counted.isEmpty() ? QStringLiteral("「Theirs 01」属于用户「UID 4242」") : c.counted), true)
            << detail.toStdString();
        sheet->grab().save(screenshotPath(QStringLiteral("install-conflict-owners-%1.png").arg(c.theirs)));
        EXPECT_LE(sheet->frameGeometry().height(), sheet->screen()->availableGeometry().height());
        sheet->reject();
    }
}
