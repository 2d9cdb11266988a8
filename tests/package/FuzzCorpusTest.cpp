#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fuzz/ExtractOnce.h"
#include "fuzz/PlainPackage.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using Kind = ZFCPackageError::Kind;

// The fuzzers' seeds each reach one refusal (or a success through a rare branch) named by
// the start of the seed's file name; together they cover every refusal of the reader that a
// package alone can reach (a link on the way is met only where something else put one there
// during the extraction, a chunk cut off only where the file shrank after it was opened).
TEST(FuzzCorpus, EverySeedEndsAsItsNameSays)
{
    const std::map<std::string, std::optional<Kind>> expected = {
        {"ok", std::nullopt},
        {"path-invalid", Kind::pathInvalid},
        {"metadata-corrupted", Kind::metadataCorrupted},
        {"plaintext-overrun", Kind::plaintextOverrun},
        {"stream-truncated", Kind::streamTruncated},
        {"inflate-failed", Kind::inflateFailed},
        {"chunk-length-invalid", Kind::chunkLengthInvalid},
        {"incomplete", Kind::incomplete},
    };
    std::map<std::string, int> seen;
    fuzz::ExtractOnce runner;
    for (const auto& seed : fs::directory_iterator(fs::path(LOOMWORK_FUZZ_DIR) / "corpus-plain")) {
        const std::string name = seed.path().filename().string();
        SCOPED_TRACE(name);
        auto rule = expected.end();
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            if (name == it->first || name.rfind(it->first + "-", 0) == 0)
                rule = it;
        }
        ASSERT_NE(rule, expected.end()) << "a seed name must start with its outcome";
        ++seen[rule->first];
        const auto error = runner.run(fuzz::plainToPackage(readFile(seed.path())));
        EXPECT_EQ(error ? std::optional<Kind>(error->kind()) : std::nullopt, rule->second)
            << (error ? error->errorDescription() : "success");
    }
    EXPECT_EQ(seen.size(), expected.size());
    // The sealed seeds are packages as earlier packers wrote them (some in small chunks): they
    // extract to the same trees, byte for byte, as when they were stored.
    const std::map<std::string, uint64_t> trees = {
        {"chunk-compressed-across-chunks", 0xcb37e652aeef1b49},
        {"compressed", 0x0e128501580a4efa}, {"empty", 0x14650fb0739d0383}, {"links", 0x13d5cdaf9c73314e},
        {"older-small-files", 0x30ad474928fd42fb}, {"one-file", 0x38a350922793fb1f}, {"two-plugins", 0x0362446559227287},
    };
    for (const auto& seed : fs::directory_iterator(fs::path(LOOMWORK_FUZZ_DIR) / "corpus")) {
        const std::string name = seed.path().filename().string();
        SCOPED_TRACE(name);
        uint64_t digest = 1469598103934665603ULL;  // FNV-1a over paths, kinds and contents
        const auto error = runner.run(readFile(seed.path()), [&](const fs::path& dest) {
            for (const auto& [path, node] : craft::snapshot(dest)) {
                for (const char c : path + '\0' + node.kind + node.data + '\0')
                    digest = (digest ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
            }
        });
        EXPECT_FALSE(error) << error->errorDescription();
        ASSERT_TRUE(trees.count(name));
        EXPECT_EQ(trees.at(name), digest) << std::hex << digest;
    }
}
