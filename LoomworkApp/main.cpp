#include <QApplication>
#include <QFileInfo>

#include "engine/core/AlertPresenter.h"
#include "engine/core/InstanceGuard.h"
#include "engine/files/TemplateChange.h"
#include "engine/operations/OperationsCenter.h"
#include "online/ServerConfig.h"
#include "ui/Appearance.h"
#include "ui/WidgetAlertPresenter.h"
#include "window/LoomworkMain.h"

namespace {

struct Arguments
{
    QString serverBaseURL;
    QList<QUrl> files;
};

// "-serverBaseURL URL" sets the server for this run (as the platform's argument domain
// does); every other argument is a file to open.
Arguments parseArguments(const QStringList& arguments)
{
    Arguments parsed;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("-serverBaseURL") && i + 1 < arguments.size()) {
            parsed.serverBaseURL = arguments[++i];
        } else if (arg.startsWith(QLatin1String("file:"))) {
            parsed.files.append(QUrl(arg));
        } else if (!arg.startsWith(u'-')) {
            parsed.files.append(QUrl::fromLocalFile(QFileInfo(arg).absoluteFilePath()));
        }
    }
    return parsed;
}

} // namespace

int main(int argc, char* argv[])
{
    // The market's embedded video page runs on the web engine, which shares GL contexts
    // with the widgets and must be told before the application exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Loomwork"));
    QApplication::setApplicationName(QStringLiteral("Loomwork"));
    QApplication::setApplicationDisplayName(QStringLiteral("Loomwork"));
    QApplication::setDesktopFileName(QStringLiteral("loomwork"));
    QApplication::setQuitOnLastWindowClosed(true);

    const Arguments arguments = parseArguments(QApplication::arguments());
    // Decided before anything else runs: a second Loomwork on the same library would have
    // its own busy flag.
    InstanceGuard instance;
    switch (instance.claim(arguments.files)) {
    case InstanceGuard::Claim::instance:
        break;
    case InstanceGuard::Claim::handedOver:
        return 0;
    case InstanceGuard::Claim::unreachable:
        qWarning("Loomwork 已在运行，但这次打开的文件无法交给它，请在已打开的 Loomwork 中再打开一次。");
        return 1;
    }
    if (!arguments.serverBaseURL.isEmpty())
        ServerConfig::setArgumentValue(arguments.serverBaseURL);

    LoomworkMain::installQtTranslations();
    Appearance::install(app);
    AlertPresenter::setCurrent(&WidgetAlertPresenter::instance());
    OperationsCenter::setBeepHandler([] { QApplication::beep(); });

    LoomworkMain loomwork;
    loomwork.start(arguments.files, &instance);
    const int status = QApplication::exec();
    // Changes' old contents go after their calls return: done before another instance may
    // start and recover them.
    TemplateChange::waitForRemovals();
    AlertPresenter::setCurrent(nullptr);
    return status;
}
