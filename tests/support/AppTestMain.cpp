// Test main of the application's test executables. Before Qt reads anything it points
// HOME, the XDG folders and the system template library into one temporary folder, so
// that no test can touch the user's libraries, settings or application folder.
#include <cstdlib>
#include <filesystem>

#include <unistd.h>

#include <gtest/gtest.h>

#ifdef LOOMWORK_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

#include <QNetworkAccessManager>

#include "online/HttpFetch.h"
#include "support/app/TestEnv.h"

namespace {

#ifdef LOOMWORK_TEST_WIDGETS
// The embedded player's tests run the real web engine: its sandbox refuses to start as root
// (CI), offscreen there is no GPU, and the video site's hosts (under .test) are this machine.
void setUpWebEngine()
{
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-gpu --host-resolver-rules=\"MAP *.test 127.0.0.1\"";
    if (::geteuid() == 0)
        flags += " --no-sandbox";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}
#endif

// Every test leaves the home as it found it, whatever its fixture does.
class RestoreHomeAfterEachTest : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo&) override { TestEnv::restore(); }
};

} // namespace

int main(int argc, char** argv)
{
    TestEnv::setUpProcess();
#ifdef LOOMWORK_TEST_WIDGETS
    setUpWebEngine();
#endif
    int rc = 0;
    {
        TestApplication app(argc, argv);
        TestApplication::setOrganizationName(QStringLiteral("Loomwork"));
        TestApplication::setApplicationName(QStringLiteral("Loomwork"));
        ::testing::InitGoogleTest(&argc, argv);
        ::testing::UnitTest::GetInstance()->listeners().Append(new RestoreHomeAfterEachTest);
        rc = RUN_ALL_TESTS();
        // Qt's network thread would end with the connections it still holds, and leak them.
        HttpFetch::manager().clearConnectionCache();
    }
    TestEnv::tearDownProcess();
    return rc;
}
