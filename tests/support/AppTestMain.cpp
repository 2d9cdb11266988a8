// Test main of the application's test executables. Before Qt reads anything it points
// HOME, the XDG folders and the system template library into one temporary folder, so
// that no test can touch the user's libraries, settings or application folder.
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

#ifdef LOOMWORK_TEST_WIDGETS
#include "support/views/AppChild.h"
#include "window/WebEngineSetUp.h"
#endif

namespace {

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
    if (AppChild::requested()) {
        const int status = AppChild::run(argc, argv);
        TestEnv::tearDownProcess();
        return status;
    }
    // The embedded player's tests run the real web engine as the application starts it;
    // offscreen there is no GPU, and the video site's hosts (under .test) are this machine.
    WebEngineSetUp::beforeApplication("--disable-gpu --host-resolver-rules=\"MAP *.test 127.0.0.1\"");
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
