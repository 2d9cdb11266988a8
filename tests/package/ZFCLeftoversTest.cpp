#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "LoomworkKit/ZFCLeftovers.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/TempDir.h"

// A pack killed while it writes the package leaves its temporaries; a later run's sweep
// removes them and nothing else.
TEST(ZFCLeftovers, AKilledPacksTemporariesAreRemoved)
{
    TempDir dir;
    writeFile(dir / "A/a.bin", "a");
    writeFile(dir / "out/a.zfcp", "an older backup");
    // The user's, however close to the packer's ".zfcp-<UUID>.part" and ".data".
    const std::string uuid = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    for (const std::string& name :
         std::vector<std::string>{".zfcp-notes.txt", ".zfcp-notes.part", ".zfcp-backup-2024.data", ".zfcp-12345.part",
                                  ".zfcp-0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0.part", ".zfcp-" + uuid + ".data.txt"})
        writeFile(dir / "out" / name, "not the packer's");
    std::filesystem::create_directories(dir / "out" / (".zfcp-" + uuid + ".data"));
    std::filesystem::create_symlink("a.zfcp", dir / "out" / (".zfcp-" + uuid + ".part"));
    const pid_t child = ::fork();
    if (child == 0) {
        ZFCPacker::pack({{ZFCPluginType::effect, "A", dir / "A"}}, dir / "out/a.zfcp", [](const ZFCProgress& report) {
            if (report.stage == ZFCProgress::Stage::assembling)
                ::kill(::getpid(), SIGKILL);
        });
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(ZFCLeftovers::removeStalePackTemporaries(dir / "out", std::chrono::system_clock::now()), 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 9);
    EXPECT_EQ(readFile(dir / "out/a.zfcp"), "an older backup");
}
