#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json emptyFile(const std::string& path)
{
    return {{"type", "file"}, {"path", path}, {"size", 0}, {"position", 0}, {"stored", 0}};
}

// Every regular file below `folder`, relative to it, with its size.
std::vector<std::string> filesBelow(const fs::path& folder)
{
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file())
            out.push_back(fs::relative(entry.path(), folder).string() + " " + std::to_string(entry.file_size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

// A package of thousands of empty files has no stream: they are all made after it, on
// several threads when they lie in several folders. Every one is made, and the failure
// reported is the first in the package's order, as when they are made one by one.
TEST(ZFCEmptyFiles, ManyEmptyFilesAreAllMadeAndTheFirstFailureIsTold)
{
    const std::string tooLong(300, 'n');
    struct Case
    {
        const char* name;
        std::vector<std::string> paths;
        std::string failsAt;  // the path of the error, empty when none
    };
    std::vector<Case> cases;
    {
        Case spread{"folders that come back, nested ones, a file at the top", {}, {}};
        for (int i = 0; i < 4500; ++i)
            spread.paths.push_back("d" + std::to_string(i / 50 % 40) + (i % 7 == 0 ? "/sub/deeper" : "") + "/f" + std::to_string(i));
        spread.paths.push_back("top");
        cases.push_back(spread);
        Case one{"one folder", {}, {}};
        for (int i = 0; i < 4100; ++i)
            one.paths.push_back("only/f" + std::to_string(i));
        cases.push_back(one);
        Case few{"a few", {"a/x", "b/y", "c"}, {}};
        cases.push_back(few);
        // Two names no file system takes: the last of the first folder's run, and the first
        // of the next, which another thread meets first. The earlier one is told.
        Case failing{"two names too long", {}, "P/a/" + tooLong};
        for (int i = 0; i < 4500; ++i)
            failing.paths.push_back((i < 1000 ? "a/f" : "d" + std::to_string(i / 50 % 40) + "/f") + std::to_string(i));
        failing.paths[999] = "a/" + tooLong;
        failing.paths[1000] = "b/" + tooLong + "x";
        cases.push_back(failing);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        json items = json::array();
        for (const std::string& path : c.paths)
            items.push_back(emptyFile(path));
        std::ofstream(dir / "p.zfcp", std::ios::binary) << craft::onePlugin(items.dump(), "", 1024 * 1024);
        std::string error;
        try {
            ZFCPackageReader reader(dir / "p.zfcp");
            reader.extract(reader.plugins().at(0), dir / "root", std::nullopt, true);
        } catch (const ZFCPackageError& e) {
            EXPECT_EQ(e.kind(), ZFCPackageError::Kind::fileCreateFailed);
            error = e.subject();
        }
        if (!c.failsAt.empty()) {
            EXPECT_EQ(error, (dir / "root" / c.failsAt).string());
            continue;
        }
        EXPECT_EQ(error, "");
        std::vector<std::string> expected;
        for (const std::string& path : c.paths)
            expected.push_back(path + " 0");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(filesBelow(dir / "root/P"), expected);
    }
}
