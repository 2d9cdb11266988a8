#include "support/views/AppChild.h"

#include <cstdio>

#include <QApplication>
#include <QLabel>
#include <QTimer>

#include "market/BiliWebPlayer.h"
#include "market/MarketMediaPanel.h"
#include "online/BiliVideo.h"
#include "window/LoomworkMain.h"

namespace {

constexpr char kPlayerPort[] = "LOOMWORK_APP_CHILD_PLAYER_PORT";
constexpr int kPollMs = 50;

void say(const QByteArray& line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QWidget* mainWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("main") && widget->isVisible())
            return widget;
    return nullptr;
}

QLabel* shownLine(QWidget* panel)
{
    for (QLabel* label : panel->findChildren<QLabel*>())
        if (label->isVisible() && label->text() == QString::fromUtf8(BiliWebPlayer::failedText))
            return label;
    return nullptr;
}

// Once the main window shows: the media panel of a plug-in whose video is on the site,
// started as a click on its play button starts it; then its line is reported and the
// application quits the ordinary way.
void openPlayer()
{
    if (!mainWindow()) {
        QTimer::singleShot(kPollMs, qApp, &openPlayer);
        return;
    }
    say(AppChild::mainWindowUp);
    BiliVideo::Site site;
    site.mainDomain = site.videoPageHost = site.playerHost = QStringLiteral("127.0.0.1");
    site.scheme = QStringLiteral("http");
    site.port = qEnvironmentVariableIntValue(kPlayerPort);
    BiliVideo::setSite(site);
    auto* panel = new MarketMediaPanel(std::nullopt, QStringLiteral("BV1xx411c7mD"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->resize(520, 325);
    panel->show();
    panel->model().startPreview();
    auto* poll = new QTimer(panel);
    QObject::connect(poll, &QTimer::timeout, panel, [panel] {
        if (QLabel* line = shownLine(panel)) {
            say(AppChild::playerLine + line->text().toUtf8());
            panel->close();
            QApplication::quit();
        }
    });
    poll->start(kPollMs);
}

void afterStart()
{
    QTimer::singleShot(0, qApp, &openPlayer);
}

} // namespace

bool AppChild::requested()
{
    return qEnvironmentVariableIsSet(kPlayerPort);
}

int AppChild::run(int& argc, char** argv)
{
    qAddPreRoutine(&afterStart);
    return LoomworkMain::run(argc, argv);
}

void AppChild::startWithPlayer(QProcess& child, int closedPort)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"));
    env.insert(QString::fromLatin1(kPlayerPort), QString::number(closedPort));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    // A server address nothing answers at: the app starts signed out, without the network.
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("-serverBaseURL"), QStringLiteral("http://127.0.0.1:%1/").arg(closedPort)});
}
