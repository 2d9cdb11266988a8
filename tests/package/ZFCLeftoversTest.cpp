#include <csignal>

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
    writeFile(dir / "out/.zfcp-notes.txt", "not the packer's");
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
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 2);
    EXPECT_EQ(readFile(dir / "out/a.zfcp"), "an older backup");
}
