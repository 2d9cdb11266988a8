#include "support/views/ListFixtures.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTextDocument>
#include <QWidget>

#include "engine/library/AppState.h"
#include "engine/market/MarketInstallRegistry.h"
#include "engine/operations/OperationsCenter.h"
#include "ui/Appearance.h"
#include "support/app/TestEnv.h"

namespace ListFixtures {

void scan(AppState& state)
{
    QSignalSpy finished(&state, &AppState::scanFinished);
    state.refresh();
    ASSERT_TRUE(finished.wait(20000)) << "scan did not finish";
    // A refresh asked during the scan runs once more.
    while (state.isScanning())
        ASSERT_TRUE(finished.wait(20000));
}

Plugin find(const AppState& state, const QString& name)
{
    for (const Plugin& plugin : state.plugins()) {
        if (plugin.name == name)
            return plugin;
    }
    ADD_FAILURE() << "no plug-in named " << name.toStdString();
    return {};
}

void setAppearance(const char* mode)
{
    QSettings().setValue(Appearance::settingsKey, QString::fromLatin1(mode));
    Appearance::instance().apply();
    settle();
}

QString savePicture(QWidget& widget, const QString& name)
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    const QString path = QDir(dir).absoluteFilePath(name + QStringLiteral(".png"));
    EXPECT_TRUE(widget.grab().save(path)) << path.toStdString();
    return path;
}

QString shownToolTip(const QString& tip)
{
    QTextDocument document;
    document.setHtml(tip);
    return Qt::mightBeRichText(tip) ? document.toPlainText() : tip;
}

void settle(int ms)
{
    QDeadlineTimer deadline(ms);
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    while (!deadline.hasExpired());
}

void installTheme()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    Appearance::install(*qobject_cast<QApplication*>(QCoreApplication::instance()));
}

void ListTest::SetUp()
{
    TestEnv::reset();
    MarketInstallRegistry::reloadFromDisk();
    installTheme();
    setAppearance("light");
    OperationsCenter::setRevealHandler([](const QString&) {});
    OperationsCenter::setBeepHandler([] {});
}

void ListTest::TearDown()
{
    setAppearance("light");
    OperationsCenter::setRevealHandler({});
    OperationsCenter::setBeepHandler({});
}

} // namespace ListFixtures
