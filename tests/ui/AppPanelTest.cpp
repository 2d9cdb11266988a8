#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "engine/core/EngineText.h"
#include "ui/AppAlert.h"
#include "ui/AppPanel.h"
#include "window/LoomworkMain.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

QFileDialog* visiblePanel()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
            return d;
    }
    const auto all = QApplication::allWidgets();
    for (QWidget* w : all) {
        if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
            return d;
    }
    return nullptr;
}

AppPanel::Panel openZfcpPanel()
{
    AppPanel::Panel panel;
    panel.title = QStringLiteral("选择 .zfcp 插件备份");
    panel.message = QStringLiteral("选择一个或多个 .zfcp 备份文件，接下来可选择安装到用户库或系统库。");
    panel.prompt = QStringLiteral("选择");
    panel.allowsMultipleSelection = true;
    panel.directory = TestEnv::root();
    return panel;
}

// Types the path like a user would: selectFile() leaves a focused name field alone.
void pick(QFileDialog* panel, const QString& path)
{
    auto* name = panel->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(path);
    static_cast<QDialog*>(panel)->accept();
}

QString makeFile(const QString& name)
{
    const QString path = TestEnv::root() + QLatin1Char('/') + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    return path;
}

} // namespace

TEST(AppPanel, DialogsDescribeThePanel)
{
    AppPanel::Panel save;
    save.kind = AppPanel::Panel::Kind::save;
    save.title = QStringLiteral("保存备份文件");
    save.message = QStringLiteral("选择备份保存位置，文件名为「插件名.zfcp」");
    save.nameFieldValue = QStringLiteral("插件备份.zfcp");
    std::unique_ptr<QFileDialog> s(AppPanel::makeDialog(save, nullptr));
    EXPECT_EQ(s->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(s->windowTitle(), save.title);
    auto* message = s->findChild<QLabel*>(QStringLiteral("loomworkPanelMessage"));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text(), save.message);
    EXPECT_EQ(message->textFormat(), Qt::PlainText);

    AppPanel::Panel folder;
    folder.canChooseFiles = false;
    folder.canChooseDirectories = true;
    folder.prompt = QStringLiteral("选择");
    std::unique_ptr<QFileDialog> f(AppPanel::makeDialog(folder, nullptr));
    EXPECT_EQ(f->fileMode(), QFileDialog::Directory);
    EXPECT_EQ(f->labelText(QFileDialog::Accept), QStringLiteral("选择"));

    std::unique_ptr<QFileDialog> o(AppPanel::makeDialog(openZfcpPanel(), nullptr));
    EXPECT_EQ(o->fileMode(), QFileDialog::ExistingFiles);
}

TEST(AppPanel, PanelsSpeakChineseStartAtHomeAndShowEveryCaseOfTheExtension)
{
    LoomworkMain::installQtTranslations();
    AppPanel::Panel panel; // no folder of its own
    panel.nameFilters = {QStringLiteral("Loomwork 插件备份 (*.zfcp)")};
    std::unique_ptr<QFileDialog> dialog(AppPanel::makeDialog(panel, nullptr));
    EXPECT_EQ(dialog->directory().absolutePath(), QDir::homePath());
    auto* label = dialog->findChild<QLabel*>(QStringLiteral("fileNameLabel"));
    ASSERT_NE(label, nullptr);
    EXPECT_FALSE(label->text().contains(QStringLiteral("name"), Qt::CaseInsensitive)) << label->text().toStdString();

    const QString upper = makeFile("Upper.ZFCP");
    const QString other = makeFile("other.txt");
    auto* model = dialog->findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    dialog->setDirectory(TestEnv::root());
    // The listed names (index(path) would list a filtered file by itself).
    const auto listed = [&] {
        QStringList names;
        const QModelIndex folder = model->index(TestEnv::root());
        for (int row = 0; row < model->rowCount(folder); ++row)
            names << model->index(row, 0, folder).data().toString();
        return names;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return listed().contains(QFileInfo(upper).fileName()); }, 30000));
    EXPECT_FALSE(listed().contains(QFileInfo(other).fileName()));

    // The list's columns speak Chinese whatever the system's locale, and have room to.
    QDir(TestEnv::root()).mkpath(QStringLiteral("子文件夹"));
    dialog->setViewMode(QFileDialog::Detail);
    dialog->show();
    EXPECT_GE(dialog->width(), 800);
    auto* tree = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(tree, nullptr);
    const auto cell = [&](const QString& path, int column) {
        return tree->model()->index(model->index(path).row(), column, tree->rootIndex()).data().toString();
    };
    const QString folder = TestEnv::root() + QStringLiteral("/子文件夹");
    const QString modified = EngineText::dateTimeText(QFileInfo(upper).lastModified());
    // The model fills the cells from its own thread, row by row and perhaps first from a
    // look at the file while it was still being written: wait for each cell read here.
    const struct {
        QString path;
        int column;
        QString text;
    } cells[] = {
        {folder, 2, QStringLiteral("文件夹")},
        {upper, 1, QStringLiteral("1 字节")},
        {upper, 2, QStringLiteral("ZFCP 文件")},
        {upper, 3, modified},
    };
    for (const auto& c : cells) {
        SCOPED_TRACE(QFileInfo(c.path).fileName().toStdString() + " column " + std::to_string(c.column));
        EXPECT_TRUE(QTest::qWaitFor([&] { return cell(c.path, c.column) == c.text; }, 30000))
            << "shows " << cell(c.path, c.column).toStdString() << " instead of " << c.text.toStdString();
    }
    EXPECT_GT(tree->header()->sectionSize(3), tree->fontMetrics().horizontalAdvance(modified));
    ListFixtures::savePicture(*dialog, QStringLiteral("install-panel"));
}

TEST(AppPanel, SheetOfTheHostCallsBackOnlyWhenConfirmed)
{
    QMainWindow main;
    main.resize(1000, 700);
    main.show();
    QApplication::setActiveWindow(&main);
    const QString a = makeFile(QStringLiteral("a.zfcp"));

    for (bool confirm : {false, true}) {
        SCOPED_TRACE(confirm ? "confirmed" : "cancelled");
        int calls = 0;
        QList<QUrl> picked;
        AppPanel::present(openZfcpPanel(), [&](const QList<QUrl>& urls) {
            ++calls;
            picked = urls;
        });
        // A sheet: the call has returned with the panel still open over the main window.
        QFileDialog* panel = visiblePanel();
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->parentWidget(), &main);
        EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
        EXPECT_EQ(calls, 0);
        if (confirm) {
            pick(panel, a);
        } else {
            panel->reject();
        }
        QApplication::processEvents();
        EXPECT_EQ(calls, confirm ? 1 : 0);
        if (confirm) {
            ASSERT_EQ(picked.size(), 1);
            EXPECT_EQ(picked.first().toLocalFile(), a);
        }
    }
}

TEST(AppPanel, FromAWorkerThePanelOpensLaterOnTheGuiThread)
{
    const QString b = makeFile(QStringLiteral("b.zfcp"));
    // No host window: the panel runs modally once the GUI thread gets to it.
    QTimer accept;
    accept.setInterval(10);
    // Tries again while the panel stays up: a dialog still loading its folder may turn
    // the first accept down.
    QObject::connect(&accept, &QTimer::timeout, [&] {
        if (QFileDialog* panel = visiblePanel())
            pick(panel, b);
    });
    accept.start();

    bool returned = false;
    QList<QUrl> picked;
    bool onGuiThread = false;
    std::thread worker([&] {
        AppPanel::present(openZfcpPanel(), [&](const QList<QUrl>& urls) {
            picked = urls;
            onGuiThread = QThread::currentThread() == qApp->thread();
        });
        returned = true;
    });
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(picked.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !picked.isEmpty(); }, 30000));
    EXPECT_TRUE(onGuiThread);
    ASSERT_EQ(picked.size(), 1);
    EXPECT_EQ(picked.first().toLocalFile(), b);
}
