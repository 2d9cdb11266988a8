#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "fuzz/ExtractOnce.h"
#include "fuzz/PlainPackage.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using Kind = ZFCPackageError::Kind;

// The fuzzers' seeds each reach one refusal (or a success through a rare branch) named by
// the start of the seed's file name; together they cover every refusal of the reader.
TEST(FuzzCorpus, EverySeedEndsAsItsNameSays)
{
    const std::map<std::string, std::optional<Kind>> expected = {
        {"ok", std::nullopt},
        {"path-invalid", Kind::pathInvalid},
        {"path-escapes", Kind::pathEscapes},
        {"metadata-corrupted", Kind::metadataCorrupted},
        {"plaintext-overrun", Kind::plaintextOverrun},
        {"stream-truncated", Kind::streamTruncated},
        {"inflate-failed", Kind::inflateFailed},
        {"chunk-length-invalid", Kind::chunkLengthInvalid},
        {"chunk-header-truncated", Kind::chunkHeaderTruncated},
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
    // The sealed seeds are packages as the packer writes them (some in small chunks).
    for (const auto& seed : fs::directory_iterator(fs::path(LOOMWORK_FUZZ_DIR) / "corpus")) {
        SCOPED_TRACE(seed.path().filename().string());
        const auto error = runner.run(readFile(seed.path()));
        EXPECT_FALSE(error) << error->errorDescription();
    }
}
