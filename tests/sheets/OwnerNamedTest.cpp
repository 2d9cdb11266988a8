#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "LoomworkKit/ZFCPackageReader.h"
#include <SafeFS/Identity.h>
#include "engine/core/FsPath.h"
#include "engine/files/HeldFolders.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/MarketInstaller.h"
#include "library/PluginListController.h"
#include "sheets/InstallSheetModel.h"
#include "sheets/LocalizeSheetModel.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Every question before a step the administrator takes on a plug-in of the system library
// names the plug-in's owner exactly when it is another user's (root then removes or replaces
// what that user owns), and the step is handed the owner that was named.
namespace {

constexpr uid_t kNeighbour = 4242;

enum class Step { remove, installOver, restore, marketInstall };

const char* stepName(Step step)
{
    switch (step) {
    case Step::remove: return "delete";
    case Step::installOver: return "install over";
    case Step::restore: return "restore";
    case Step::marketInstall: return "market install";
    }
    return "";
}

class OwnerNamedTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        ASSERT_TRUE(m_dir.isValid());
    }
    void TearDown() override { TestEnv::reset(); }

    // "Good" in the system library's effects, owned by `owner`, as the list shows it.
    Plugin good(uid_t owner)
    {
        Plugin plugin;
        plugin.name = QStringLiteral("Good");
        plugin.type = ZFCPluginType::effect;
        plugin.root = PluginRoot::system;
        plugin.path = PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, plugin.name);
        EXPECT_EQ(::chown(QFile::encodeName(plugin.path).constData(), owner, owner), 0);
        EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(plugin.path), plugin.identity), 0);
        return plugin;
    }

    // The question's text and the owner handed on to the step.
    std::pair<QString, std::optional<uid_t>> ask(Step step, const Plugin& plugin)
    {
        switch (step) {
        case Step::remove: {
            HeldFolders held;
            const QString note = PluginListController::deleteMessage(1) + PluginListController::ownersNote({plugin}, held);
            return {note, held.toldOwner(plugin.path)};
        }
        case Step::installOver: {
            const QString file = m_dir.filePath("good.zfcp");
            PackageMaker::writePackage(file, {{"effect", "Good"}});
            InstallSheetModel model({file}, PluginRoot::system);
            std::optional<InstallPlan> plan;
            QObject::connect(&model, &InstallSheetModel::installRequested, &model,
                             [&plan](const InstallPlan& made) { plan = made; });
            model.parse();
            EXPECT_TRUE(QTest::qWaitFor([&] { return !model.isParsing(); }, 20000));
            const QString text = model.choiceDetail(InstallSheetModel::Choice::overwrite);
            model.reviewConfirm();
            model.choose(InstallSheetModel::Choice::overwrite);
            model.conflictConfirm();
            EXPECT_TRUE(plan.has_value());
            return {text, plan ? std::optional<uid_t>(plan->toldOwnerAt(plugin.path)) : std::nullopt};
        }
        case Step::restore: {
            LocalizeSheetModel model(plugin);
            return {model.restoreQuestion(), std::nullopt};
        }
        case Step::marketInstall: {
            const QString file = m_dir.filePath("market.zfcp");
            PackageMaker::writePackage(file, {{"effect", "Good"}, {"effect", "Fresh"}});
            ZFCPackageReader reader(FsPath::toNative(file));
            QHash<QString, SafeFS::Identity> seen;
            QHash<QString, uid_t> owners;
            const QString text = MarketInstaller::conflictMessage(MarketInstaller::conflicts(reader.plugins(), seen, &owners));
            return {text, owners.contains(plugin.path) ? std::optional<uid_t>(owners.value(plugin.path)) : std::nullopt};
        }
        }
        return {};
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(OwnerNamedTest, EveryQuestionNamesTheOwnerExactlyWhenRootActsOnAnotherUsersPlugIn)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    struct Case {
        Step step;
        bool anotherUsers;
    };
    const Case cases[] = {
        {Step::remove, false},        {Step::remove, true},        {Step::installOver, false},
        {Step::installOver, true},    {Step::restore, false},      {Step::restore, true},
        {Step::marketInstall, false}, {Step::marketInstall, true},
    };
    const QString named = QStringLiteral("「UID ") + QString::number(kNeighbour) + QStringLiteral("」");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(stepName(c.step)) + (c.anotherUsers ? ", another user's" : ", own"));
        TestEnv::reset();
        const uid_t owner = c.anotherUsers ? kNeighbour : ::geteuid();
        const Plugin plugin = good(owner);
        const auto [text, told] = ask(c.step, plugin);
        EXPECT_EQ(text.contains(QStringLiteral("Good") + (c.step == Step::marketInstall ? "（系统库，属于用户" : "」属于用户") + named),
                  c.anotherUsers)
            << text.toStdString();
        EXPECT_EQ(text.contains(named), c.anotherUsers) << text.toStdString();
        EXPECT_EQ(text.contains(QStringLiteral("属于用户")), c.anotherUsers) << text.toStdString();
        // What the step is handed is what was said (the restore keeps it inside its model).
        if (c.step != Step::restore) {
            ASSERT_TRUE(told.has_value());
            EXPECT_EQ(*told, owner);
        }
    }
}

// Of many clashes, those the administrator would replace for another user are named first,
// whatever their names: a question that lists the first few and a count still names them.
TEST_F(OwnerNamedTest, TheMarketQuestionNamesAnotherUsersPlugInsFirst)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    struct Case {
        const char* theirs;
        int ours;
    };
    const Case cases[] = {{"Zed", 12}, {"Aaa", 12}, {"Mid 05b", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.theirs);
        TestEnv::reset();
        QList<PackageMaker::PackagedPlugin> packaged;
        for (int i = 0; i < c.ours; ++i) {
            const QString name = QStringLiteral("Mid %1").arg(i, 2, 10, QChar(u'0'));
            PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::effect, name);
            packaged.append(PackageMaker::PackagedPlugin{"effect", name});
        }
        Plugin plugin = good(kNeighbour);
        ASSERT_TRUE(QDir().rename(plugin.path, QFileInfo(plugin.path).path() + "/" + c.theirs));
        packaged.append(PackageMaker::PackagedPlugin{"effect", QString::fromUtf8(c.theirs)});
        const QString file = m_dir.filePath("many.zfcp");
        PackageMaker::writePackage(file, packaged);
        ZFCPackageReader reader(FsPath::toNative(file));
        const QStringList clashes = MarketInstaller::conflicts(reader.plugins());
        ASSERT_EQ(clashes.size(), c.ours + 1);
        const QString theirs = QString::fromUtf8(c.theirs) + QStringLiteral("（系统库，属于用户「UID 4242」）");
        EXPECT_EQ(clashes.first(), theirs);
        EXPECT_TRUE(MarketInstaller::conflictMessage(clashes).startsWith(QStringLiteral("以下插件已存在，是否覆盖？\n\n") + theirs));
        // Ours keep their plain order after it.
        QStringList ours = clashes.mid(1);
        QStringList sorted = ours;
        sorted.sort();
        EXPECT_EQ(ours, sorted);
    }
}
