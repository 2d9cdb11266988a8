#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "support/kit/TempDir.h"

namespace {

struct Outcome
{
    int status = -1;
    std::string err;
};

std::string quoted(const std::string& arg)
{
    std::string q = "'";
    for (const char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The shipped zfcptool with `args`, its stderr kept.
Outcome zfcptool(const TempDir& dir, const std::vector<std::string>& args)
{
    std::string command = quoted(ZFCPTOOL_PATH);
    for (const auto& a : args)
        command += " " + quoted(a);
    const int raw = std::system((command + " >/dev/null 2>" + quoted((dir / "stderr").string())).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(dir / "stderr")};
}

std::string lastLine(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    const auto nl = text.rfind('\n');
    return nl == std::string::npos ? text : text.substr(nl + 1);
}

} // namespace

// A path longer than the system takes, for each thing zfcptool is given a path for: the
// failure says so in words and names the path, its end kept.
TEST(ZfcptoolMessages, APathTooLongIsSaidAndNamed)
{
    TempDir dir;
    writeFile(dir / "src/A/f", "x");
    const std::string src = (dir / "src").string();
    const std::string listed = (dir / "listed.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", listed, "effect", "A", src + "/A"}).status, 0);
    const std::string longName = std::string(300, 'n') + "-end";
    std::string deep = (dir / "lib").string();
    for (int i = 0; i < 25; ++i)
        deep += "/" + std::string(200, 'd');
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string named; // in the path the message names
    };
    const Case cases[] = {
        {"pack to a name too long", {"pack", (dir / longName).string() + ".zfcp", "effect", "A", src + "/A"}, "-end.zfcp"},
        {"pack from a name too long", {"pack", (dir / "p.zfcp").string(), "effect", "A", src + "/" + longName}, "-end"},
        {"list a name too long", {"list", (dir / longName).string()}, "-end"},
        // The folder it could not make, on the way to the root.
        {"extract into a path too long", {"extract", listed, deep}, (dir / "lib").string() + "/ddd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = zfcptool(dir, c.args);
        EXPECT_EQ(o.status, 1);
        const std::string said = lastLine(o.err);
        EXPECT_NE(said.find("（路径过长，超过系统的限制）："), std::string::npos) << said;
        EXPECT_EQ(said.find("filesystem error"), std::string::npos) << said;
        EXPECT_NE(said.find(c.named), std::string::npos) << said;
    }
}

// A name holding a backslash would come back split at it: pack and pack-each refuse it with
// status 1, naming it, and write no package.
TEST(ZfcptoolMessages, ANameHoldingABackslashIsRefusedAndNamed)
{
    TempDir dir;
    writeFile(dir / "src/File/a\\b", "a");
    writeFile(dir / "src/Beside/x/y", "y");
    writeFile(dir / "src/Beside/x\\y", "z");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string named;
    };
    const Case cases[] = {
        {"pack, a file", {"pack", (dir / "p.zfcp").string(), "effect", "File", (dir / "src/File").string()},
         (dir / "src/File/a\\b").string()},
        {"pack-each, beside a folder of the same start",
         {"pack-each", (dir / "each").string(), "effect", "Beside", (dir / "src/Beside").string()},
         (dir / "src/Beside/x\\y").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = zfcptool(dir, c.args);
        EXPECT_EQ(o.status, 1);
        const std::string said = lastLine(o.err);
        EXPECT_EQ(said, "文件名含有反斜杠“\\”，解包时会被当作文件夹分隔符，无法封包：" + c.named);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "p.zfcp"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "each"));
}
