#include "support/app/TestEnv.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <QSettings>

#include "engine/files/TemplateChange.h"
#include "engine/market/MarketInstallRegistry.h"

#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root;
bool g_ownRoot = true;

// The home's own folders; anything else in it was made by a test.
constexpr const char* kHomeFolders[] = {"data", "config", "cache", "tmp"};

void setEnv(const char* name, const fs::path& value)
{
    ::setenv(name, value.c_str(), 1);
}

} // namespace

void TestEnv::setUpProcess()
{
    // A child that works in its parent's scene (a test that ends it and looks after it) is
    // given the parent's folder, which it leaves in place.
    if (const char* given = std::getenv("LOOMWORK_TEST_ROOT"); given && *given) {
        g_root = given;
        g_ownRoot = false;
    } else {
        std::string pattern = (fs::temp_directory_path() / "loomwork-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        g_root = pattern;
    }
    fs::create_directories(g_root / "data");
    fs::create_directories(g_root / "config");
    fs::create_directories(g_root / "cache");
    // Whatever the process and its children leave in the temporary folder (Qt's runtime
    // folder among it) goes with this folder.
    fs::create_directories(g_root / "tmp");
    setEnv("TMPDIR", g_root / "tmp");
    setEnv("HOME", g_root);
    setEnv("XDG_DATA_HOME", g_root / "data");
    setEnv("XDG_CONFIG_HOME", g_root / "config");
    setEnv("XDG_CACHE_HOME", g_root / "cache");
    setEnv("LOOMWORK_SYSTEM_LIBRARY", g_root / "SystemLibrary" / "Templates.localized");
    // The hand-over socket then lives in the temporary data folder, never the user's.
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("no_proxy", "*", 1);
    ::setenv("NO_PROXY", "*", 1);
    ::unsetenv("http_proxy");
    ::unsetenv("https_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("HTTPS_PROXY");
}

void TestEnv::tearDownProcess()
{
    if (!g_root.empty() && g_ownRoot)
        removeTree(g_root);
}

QString TestEnv::root()
{
    return QString::fromStdString(g_root.string());
}

QString TestEnv::userLibrary()
{
    return root() + QStringLiteral("/Movies/Motion Templates.localized");
}

QString TestEnv::systemLibrary()
{
    return QString::fromLocal8Bit(std::getenv("LOOMWORK_SYSTEM_LIBRARY"));
}

void TestEnv::reset()
{
    // A change's old contents go after its call returns: never under the wipe.
    TemplateChange::waitForRemovals();
    QSettings().clear();
    QSettings().sync();
    std::error_code ec;
    fs::remove_all(g_root / "Movies", ec);
    fs::remove_all(g_root / "SystemLibrary", ec);
    for (const char* sub : {"data", "config", "cache"}) {
        for (const auto& entry : fs::directory_iterator(g_root / sub, ec))
            fs::remove_all(entry.path(), ec);
    }
}

void TestEnv::restore()
{
    reset();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(g_root, ec)) {
        const std::string name = entry.path().filename().string();
        if (std::find(std::begin(kHomeFolders), std::end(kHomeFolders), name) == std::end(kHomeFolders))
            removeTree(entry.path());
    }
    // The market list on disk is gone; the next test reads it afresh.
    MarketInstallRegistry::reloadFromDisk();
}
