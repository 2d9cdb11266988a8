#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Journal.h>
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "support/kit/DeepTree.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct Outcome
{
    int status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& arg)
{
    std::string q = "'";
    for (const char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// `limits` runs first in the same shell (ulimit, settings); its output goes to dir/<tag>stdout
// and stderr. Settings of the test seams run the build that reads them.
std::string commandLine(const TempDir& dir, const std::vector<std::string>& args, const std::string& limits,
                        const std::string& tag)
{
    const bool seams = limits.find("ZFCPTOOL_TEST_") != std::string::npos;
    std::string command = limits + quoted(seams ? ZFCPTOOL_SEAMS_PATH : ZFCPTOOL_PATH);
    for (const auto& a : args)
        command += " " + quoted(a);
    return command + " >" + quoted((dir / (tag + "stdout")).string()) + " 2>" + quoted((dir / (tag + "stderr")).string());
}

Outcome outcome(const TempDir& dir, int raw, const std::string& tag = {})
{
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = readFile(dir / (tag + "stdout"));
    o.err = readFile(dir / (tag + "stderr"));
    return o;
}

Outcome zfcptool(const TempDir& dir, const std::vector<std::string>& args, const std::string& limits = {})
{
    return outcome(dir, std::system(commandLine(dir, args, limits, {}).c_str()));
}

// zfcptool in the background; finish() waits for it.
class Background
{
public:
    Background(const TempDir& dir, const std::vector<std::string>& args, const std::string& limits, std::string tag)
        : m_dir(dir), m_tag(std::move(tag))
    {
        const std::string command = commandLine(dir, args, limits, m_tag);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Background() { finish(); }
    bool finished()
    {
        return m_pid <= 0 || ::waitpid(m_pid, &m_raw, WNOHANG) == m_pid ? (m_pid = -1, true) : false;
    }
    Outcome finish()
    {
        if (m_pid > 0 && ::waitpid(m_pid, &m_raw, 0) == m_pid)
            m_pid = -1;
        return outcome(m_dir, m_raw, m_tag);
    }

private:
    const TempDir& m_dir;
    std::string m_tag;
    pid_t m_pid = -1;
    int m_raw = -1;
};

// Bounded tries, each after a short nap.
bool eventually(const std::function<bool()>& done)
{
    for (int tries = 0; tries < 3000; ++tries) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string lastLine(const std::string& text)
{
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n')
        trimmed.pop_back();
    const auto nl = trimmed.rfind('\n');
    return nl == std::string::npos ? trimmed : trimmed.substr(nl + 1);
}

// Items in the form zfcptool gives its hidden folders, links not followed.
std::vector<std::string> hiddenOfARun(const fs::path& root)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().rfind(".zfcptool-", 0) == 0)
            found.push_back(fs::relative(it->path(), root).string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// Settings that make zfcptool's n-th allocation after the k-th `mark` ("rename:k", "create:k")
// fail; `fired` is created when it does.
std::string failingAllocation(const std::string& mark, int n, const fs::path& fired)
{
#ifdef LOOMWORK_FAILMALLOC_PATH
    return "LD_PRELOAD=" + quoted(LOOMWORK_FAILMALLOC_PATH) + " LOOMWORK_FAILMALLOC_MARK=" + mark
         + " LOOMWORK_FAILMALLOC_AT=" + std::to_string(n) + " LOOMWORK_FAILMALLOC_FIRED=" + quoted(fired.string()) + " ";
#else
    (void)mark, (void)n, (void)fired;
    return {};
#endif
}

} // namespace

TEST(Zfcptool, PackThenExtractGivesAnIdenticalTree)
{
    const auto seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    TempDir dir;
    const fs::path a = dir / "src/Glow";
    writeFile(a / "Media/noise.bin", craft::randomBytes(5 * 512 * 1024, rng));  // 2.5 MiB
    writeFile(a / "Glow.moef", craft::compressibleText(400000, rng));
    fs::create_symlink("Media/noise.bin", a / "preview.bin");
    writeFile(dir / "src/Roll/Roll.motr", craft::compressibleText(5000, rng));

    Outcome o = zfcptool(dir, {"pack", (dir / "lib.zfcp").string(), "effect", "Glow", a.string(), "transitions", "Roll",
                               (dir / "src/Roll").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    o = zfcptool(dir, {"extract", (dir / "lib.zfcp").string(), (dir / "out").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(craft::describeDifference(craft::snapshot(a), craft::snapshot(dir / "out/Effects.localized/Glow")), "");
    EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src/Roll"), craft::snapshot(dir / "out/Transitions.localized/Roll")),
              "");

    // One plug-in by index, under another name; an existing folder needs --overwrite.
    o = zfcptool(dir, {"extract", (dir / "lib.zfcp").string(), (dir / "one").string(), "1", "Again"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(readFile(dir / "one/Again/Roll.motr"), readFile(dir / "src/Roll/Roll.motr"));
    writeFile(dir / "one/Again/Roll.motr", "changed");
    zfcptool(dir, {"extract", (dir / "lib.zfcp").string(), (dir / "one").string(), "1", "Again"});
    EXPECT_EQ(readFile(dir / "one/Again/Roll.motr"), "changed");
    o = zfcptool(dir, {"extract", "--overwrite", (dir / "lib.zfcp").string(), (dir / "one").string(), "1", "Again"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(readFile(dir / "one/Again/Roll.motr"), readFile(dir / "src/Roll/Roll.motr"));
}

// A package found damaged half-way (its second plug-in's file inflates short of its size)
// leaves an earlier extraction as it was, and a missing destination missing; a good package
// then replaces the plug-ins and keeps the user's.
TEST(Zfcptool, AFailedExtractionChangesNothing)
{
    std::mt19937_64 rng(3);
    TempDir dir;
    writeFile(dir / "A/a.txt", craft::compressibleText(300000, rng));
    writeFile(dir / "B/b.txt", craft::compressibleText(300000, rng));
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "A").string(), "effect", "B", (dir / "B").string()}).status, 0);
    ASSERT_EQ(zfcptool(dir, {"extract", package, (dir / "out").string()}).status, 0);
    writeFile(dir / "out/Effects.localized/A/a.txt", "edited");
    writeFile(dir / "out/Effects.localized/Mine/m", "the user's");
    const craft::Tree before = craft::snapshot(dir / "out");

    fs::copy_file(package, dir / "bad.zfcp");
    craft::rewriteMetadata(dir / "bad.zfcp", [](const std::string& text) {
        auto meta = nlohmann::json::parse(text);
        meta[1]["items"][0]["size"] = meta[1]["items"][0]["size"].get<int64_t>() + 1;
        return meta.dump();
    });
    for (const char* root : {"out", "fresh/er"}) {
        const Outcome o = zfcptool(dir, {"extract", (dir / "bad.zfcp").string(), (dir / root).string()});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(lastLine(o.err), "文件读写失败：压缩数据不完整，封包可能已损坏（插件「B」的文件「b.txt」）");
    }
    EXPECT_EQ(craft::describeDifference(before, craft::snapshot(dir / "out")), "");
    EXPECT_FALSE(fs::exists(dir / "fresh"));

    ASSERT_EQ(zfcptool(dir, {"extract", package, (dir / "out").string()}).status, 0);
    EXPECT_EQ(readFile(dir / "out/Effects.localized/A/a.txt"), readFile(dir / "A/a.txt"));
    EXPECT_EQ(readFile(dir / "out/Effects.localized/Mine/m"), "the user's");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), 1);  // no staging folder left
}

TEST(Zfcptool, ListPrintsTheRecordsWithFileOffsets)
{
    TempDir dir;
    writeFile(dir / "A/Media/a.png", std::string(100, 'p'));
    writeFile(dir / "B/b", "b");
    ASSERT_EQ(zfcptool(dir, {"pack", (dir / "p.zfcp").string(), "effect", "A", (dir / "A").string(), "subtitle", "B",
                             (dir / "B").string()})
                  .status,
              0);
    const Outcome o = zfcptool(dir, {"list", (dir / "p.zfcp").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    const auto list = nlohmann::json::parse(o.out);
    ASSERT_EQ(list.size(), 2u);
    const std::string bytes = readFile(dir / "p.zfcp");
    const int64_t dataOffset = 8 + (uint8_t(bytes[0]) | uint8_t(bytes[1]) << 8);
    EXPECT_EQ(list[0]["position"], dataOffset);
    EXPECT_EQ(list[0]["eSize"], 124);
    EXPECT_EQ(list[1]["position"], dataOffset + 124);
    EXPECT_EQ(list[1]["type"], "subtitle");
}

// Entries are printed as they are parsed: 200,000 of them list within a 32 MiB address
// space. Extraction keeps the metadata and little else per file: 10,000 empty files fit
// where a few hundred bytes more per file would not.
TEST(Zfcptool, ManyEntriesKeepMemoryLow)
{
    if (kUnderShadowMemorySanitizer)
        GTEST_SKIP() << "an address-space limit and the sanitizer's shadow memory do not mix";
    TempDir dir;
    const auto many = [&](int count, const std::string& prefix, const std::string& fields) {
        std::string items;
        for (int i = 0; i < count; ++i)
            items += (i ? R"(,{"path":")" : R"({"path":")") + prefix + std::to_string(i) + R"(",)" + fields + "}";
        writeFile(dir / "many.zfcp",
                  craft::package(R"([{"eSize":0,"items":[)" + items + R"(],"name":"M","position":0,"size":0,"type":"effect"}])", ""));
    };
    many(200000, "d", R"("type":"directory")");
    Outcome o = zfcptool(dir, {"list", (dir / "many.zfcp").string()}, "ulimit -v 32768; ");
    ASSERT_EQ(o.status, 0) << o.err;
    const auto list = nlohmann::json::parse(o.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["items"].size(), 200000u);
    EXPECT_EQ(list[0]["items"][199999]["path"], "d199999");
    EXPECT_EQ(list[0]["name"], "M");

    many(10000, "f", R"("position":0,"size":0,"type":"file")");
    o = zfcptool(dir, {"extract", (dir / "many.zfcp").string(), (dir / "out").string()}, "ulimit -v 28672; ");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::exists(dir / "out/Effects.localized/M/f9999"));
}

TEST(Zfcptool, ProgressAndFailuresOnStderr)
{
    TempDir dir;
    writeFile(dir / "A/f", "x");
    Outcome o = zfcptool(dir, {"--progress", "pack-each", (dir / "each").string(), "effect", "A", (dir / "A").string(),
                               "effect", "A", (dir / "A").string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::exists(dir / "each/A.zfcp"));
    EXPECT_TRUE(fs::exists(dir / "each/A 2.zfcp"));
    EXPECT_EQ(o.err.rfind("扫描\tA\t0\n", 0), 0u) << o.err;
    EXPECT_EQ(lastLine(o.err), "编译\t\t1");

    o = zfcptool(dir, {"extract", (dir / "each/A.zfcp").string(), (dir / "x").string(), "--progress"});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.err.find("解码\tA\t"), std::string::npos) << o.err;
    EXPECT_EQ(lastLine(o.err), "提取\tA\t1");

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string lastLine;
    };
    writeFile(dir / "tiny.zfcp", "1234567");
    writeFile(dir / "cut.zfcp", readFile(dir / "each/A.zfcp").substr(0, 30));
    const std::vector<Case> cases = {
        {"too small", {"list", (dir / "tiny.zfcp").string()}, "文件过小，不是有效的 .zfcp 封包"},
        {"metadata cut", {"extract", (dir / "cut.zfcp").string(), (dir / "y").string()},
         "封包元数据解析失败，文件已损坏或不是旧版 .zfcp 格式"},
        {"missing folder", {"pack", (dir / "m.zfcp").string(), "effect", "M", (dir / "nope").string()},
         "待打包目录不存在：" + (dir / "nope").string()},
        {"unknown type", {"pack", (dir / "m.zfcp").string(), "effects", "M", (dir / "A").string()}, "未知的插件类型：effects"},
        {"index out of range", {"extract", (dir / "each/A.zfcp").string(), (dir / "z").string(), "3"},
         "序号超出范围：3（封包内有 1 个插件）"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        o = zfcptool(dir, c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(lastLine(o.err), c.lastLine);
    }
    EXPECT_FALSE(fs::exists(dir / "m.zfcp"));
}

// Out of memory at any allocation after the packer creates its temporary data file or the
// package beside its destination: the run writes the whole package, or fails and leaves
// neither temporary.
TEST(Zfcptool, PackingOutOfMemoryLeavesNoTemporary)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "no failing allocator under a sanitizer";
#endif
    TempDir dir;
    writeFile(dir / "src/A/f", "x");
    const fs::path package = dir / "out/p.zfcp";
    for (const char* created : {"create:1", "create:2"}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(created) + ", allocation " + std::to_string(n));
            fs::remove(dir / "fired");
            removeTree(dir / "out");
            fs::create_directories(dir / "out");
            const Outcome o = zfcptool(dir, {"pack", package.string(), "effect", "A", (dir / "src/A").string()},
                                       failingAllocation(created, n, dir / "fired"));
            if (!fs::exists(dir / "fired"))
                break;
            const bool whole = o.status == 0 && zfcptool(dir, {"list", package.string()}).status == 0;
            EXPECT_TRUE(whole || o.status == 1) << o.err;
            EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), whole ? 1 : 0);
        }
    }
}

// Memory that runs out at any allocation from the start, the reading of the arguments and
// the cipher library's start-up included: pack, list and extract end with status 0 and their
// whole result, or 1 saying that memory ran out and (pack) nothing of theirs on disk; never by
// a signal. The first allocations one by one, later ones sampled.
TEST(Zfcptool, OutOfMemoryFromTheStartEndsInAMessage)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "no failing allocator under a sanitizer";
#endif
    TempDir dir;
    writeFile(dir / "src/A/f", "x");
    writeFile(dir / "src/B/g", "y");
    const std::string src = (dir / "src").string();
    const fs::path package = dir / "out/p.zfcp";
    const std::string listed = (dir / "listed.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", listed, "effect", "A", src + "/A", "subtitle", "B", src + "/B"}).status, 0);
    const std::string whole = zfcptool(dir, {"list", listed}).out;
    int tellsMemory = 0;
    for (const char* command : {"pack", "list", "extract"}) {
        const std::string which = command;
        for (int n = 1;; n += n < 120 ? 1 : which == "extract" ? 7 : 41) {
            SCOPED_TRACE(which + ", allocation " + std::to_string(n));
            fs::remove(dir / "fired");
            removeTree(dir / "out");
            fs::create_directories(dir / "out");
            const std::vector<std::string> args =
                which == "pack" ? std::vector<std::string>{"pack", package.string(), "effect", "A", src + "/A", "subtitle", "B", src + "/B"}
                : which == "list" ? std::vector<std::string>{"list", listed}
                                  : std::vector<std::string>{"extract", listed, (dir / "out").string()};
            const Outcome o = zfcptool(dir, args, failingAllocation("start", n, dir / "fired"));
            if (!fs::exists(dir / "fired"))
                break;
            ASSERT_TRUE(o.status == 0 || o.status == 1) << o.status << " " << o.err;
            const std::size_t left = std::distance(fs::directory_iterator(dir / "out"), {});
            if (o.status == 1) {
                // Only memory failed: the message says so (maybe with the path it was for, or
                // as a thread that could not be made), never a step of the cipher or the
                // system's English.
                const std::string said = lastLine(o.err);
                EXPECT_TRUE(said.find("内存不足") != std::string::npos || said == "系统资源暂时不足（无法创建线程）") << o.err;
                tellsMemory += said == "内存不足";
                if (which == "pack") {
                    EXPECT_EQ(left, 0u);
                }
            } else if (which == "pack") {
                EXPECT_EQ(left, 1u);
                EXPECT_EQ(zfcptool(dir, {"list", package.string()}).out, whole);
            } else if (which == "list") {
                EXPECT_EQ(o.out, whole);
            }
        }
    }
    EXPECT_GT(tellsMemory, 0);
}

namespace {

// An earlier extraction of effects A, B and New and transition R, each changed since and New
// not there yet, with the user's own items; and the package that replaces them.
struct SwapScene
{
    TempDir dir;
    std::string package;
    std::string other;  // generator G only: its extraction leaves A, B, R and New to recovery
    craft::Tree before;

    SwapScene()
    {
        std::mt19937_64 rng(7);
        for (const char* name : {"A", "B", "New", "R"})
            writeFile(dir / "src" / name / "f.txt", craft::compressibleText(20000, rng));
        writeFile(dir / "src/G/g", "g");
        package = (dir / "p.zfcp").string();
        other = (dir / "g.zfcp").string();
        const std::string src = (dir / "src").string();
        EXPECT_EQ(zfcptool(dir, {"pack", package, "effect", "A", src + "/A", "effect", "B", src + "/B", "effect", "New",
                                 src + "/New", "transitions", "R", src + "/R"})
                      .status,
                  0);
        EXPECT_EQ(zfcptool(dir, {"pack", other, "generator", "G", src + "/G"}).status, 0);
        EXPECT_EQ(zfcptool(dir, {"extract", package, (dir / "base").string()}).status, 0);
        for (const char* plugin : {"Effects.localized/A", "Effects.localized/B", "Transitions.localized/R"})
            writeFile(dir / "base" / plugin / "f.txt", std::string("old ") + plugin);
        fs::remove_all(dir / "base/Effects.localized/New");
        writeFile(dir / "base/Effects.localized/Mine/m", "the user's");
        // Close to zfcptool's own forms, or one of them without its run: the user's.
        writeFile(dir / "base/.zfcptool-run-0123456789ABCDEF/x", "the user's");
        writeFile(dir / "base/Effects.localized/.zfcptool-replaced-0123456789abcdef/A/x", "the user's");
        before = craft::snapshot(dir / "base");
        reset();
    }

    fs::path out() const { return dir / "out"; }
    static std::vector<std::string> usersHidden()
    {
        return {".zfcptool-run-0123456789ABCDEF", "Effects.localized/.zfcptool-replaced-0123456789abcdef"};
    }

    void reset() const
    {
        fs::remove_all(out());
        fs::copy(dir / "base", out(), fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }

    // "old" when every plug-in is as it was (New missing), "new" when every one is the
    // package's, and the user's items are as they were; else what is wrong.
    std::string version() const
    {
        const craft::Tree now = craft::snapshot(out());
        for (const auto& [path, node] : before) {
            if (path.find("/A/") == std::string::npos && path.find("/B/") == std::string::npos
                && path.find("/R/") == std::string::npos && (!now.count(path) || !(now.at(path) == node)))
                return "changed or missing: " + path;
        }
        std::string seen;
        for (const char* plugin : {"Effects.localized/A", "Effects.localized/B", "Effects.localized/New", "Transitions.localized/R"}) {
            const std::string name = fs::path(plugin).filename().string();
            const craft::Tree copy = fs::exists(out() / plugin) ? craft::snapshot(out() / plugin) : craft::Tree();
            const bool isNew = craft::describeDifference(craft::snapshot(dir / "src" / name), copy).empty();
            const bool isOld = name == "New" ? !fs::exists(out() / plugin)
                                             : craft::describeDifference(craft::snapshot(dir / "base" / plugin), copy).empty();
            if (!isNew && !isOld)
                return std::string("neither old nor new: ") + plugin;
            if (!seen.empty() && seen != (isNew ? "new" : "old"))
                return std::string("old and new mixed at ") + plugin;
            seen = isNew ? "new" : "old";
        }
        return seen;
    }
};

} // namespace

// Exchanged in one step or, where the file system refuses that, moved aside and in: a move
// that fails at any point puts every plug-in replaced so far back, and removes the new ones.
TEST(Zfcptool, AFailedMoveIntoPlacePutsEveryOldPlugInBack)
{
    SwapScene scene;
    // The file system as it is; one that cannot exchange; one without renameat2 at all, where
    // every move is a look and a plain rename, the undo's too.
    const struct {
        const char* seams;
        int failures;
    } cases[] = {{"", 4}, {"ZFCPTOOL_TEST_REFUSE_EXCHANGE=1 ", 7}, {"ZFCPTOOL_TEST_REFUSE_FLAGS=1 ", 17}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seams);
        int failures = 0;
        for (int move = 1;; ++move) {
            SCOPED_TRACE("failing move " + std::to_string(move));
            const Outcome o = zfcptool(scene.dir, {"extract", scene.package, scene.out().string()},
                                       std::string(c.seams) + "ZFCPTOOL_TEST_FAIL_MOVE=" + std::to_string(move) + " ");
            if (o.status == 0)
                break;
            ++failures;
            ASSERT_EQ(o.status, 1) << o.err;
            EXPECT_NE(lastLine(o.err).find("无法移入目标位置"), std::string::npos) << o.err;
            ASSERT_EQ(craft::describeDifference(scene.before, craft::snapshot(scene.out())), "");
        }
        // A fresh name takes one move, a replace one exchange or two renames (each a refused
        // flag and a plain rename without renameat2); putting back is the journal's recovery,
        // whose moves fail none.
        EXPECT_EQ(failures, c.failures);
        EXPECT_EQ(readFile(scene.out() / "Effects.localized/A/f.txt"), readFile(scene.dir / "src/A/f.txt"));
        EXPECT_EQ(readFile(scene.out() / "Effects.localized/New/f.txt"), readFile(scene.dir / "src/New/f.txt"));
        EXPECT_EQ(readFile(scene.out() / "Effects.localized/Mine/m"), "the user's");
        EXPECT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden());
        scene.reset();
    }
}

// Killed after any of its steps, an extraction leaves every plug-in old or every one new, once
// the next extraction into that root has put right what it left; that run leaves nothing of
// either behind.
TEST(Zfcptool, TheNextExtractionPutsRightWhatAKilledOneLeft)
{
    SwapScene scene;
    for (const char* refuse : {"0", "1"}) {
        SCOPED_TRACE(std::string("exchange refused: ") + refuse);
        int kills = 0;
        bool sawOldPutBack = false;
        for (int step = 1;; ++step) {
            SCOPED_TRACE("killed after step " + std::to_string(step));
            scene.reset();
            Outcome o = zfcptool(scene.dir, {"extract", scene.package, scene.out().string()},
                                 std::string("ZFCPTOOL_TEST_REFUSE_EXCHANGE=") + refuse
                                     + " ZFCPTOOL_TEST_EXIT_AFTER=" + std::to_string(step) + " ");
            if (o.status == 0)
                break;
            ++kills;
            ASSERT_EQ(o.status, 86) << o.err;
            sawOldPutBack = sawOldPutBack || !fs::exists(scene.out() / "Effects.localized/A");
            o = zfcptool(scene.dir, {"extract", scene.other, scene.out().string()});
            ASSERT_EQ(o.status, 0) << o.err;
            EXPECT_EQ(readFile(scene.out() / "Generators.localized/G/g"), "g");
            const std::string version = scene.version();
            ASSERT_TRUE(version == "old" || version == "new") << version;
            EXPECT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden());
        }
        EXPECT_GE(kills, 15);
        EXPECT_EQ(sawOldPutBack, std::string(refuse) == "1");
    }
}

// Out of memory after any rename of an extraction over existing plug-ins, from the one that
// records its plan on (the three before write its record while the package is read): the run
// fails with every old plug-in in place or succeeds with every new one; what it could not put
// right or remove is recorded and said, and the next extraction into that root settles it,
// leaving nothing hidden. Every allocation right after a rename fails once, later ones
// sampled.
TEST(Zfcptool, OutOfMemoryLeavesTheLibraryAsTheExitStatusSays)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "no failing allocator under a sanitizer";
#endif
    SwapScene scene;
    const fs::path fired = scene.dir / "fired";
    for (const char* refuse : {"0", "1"}) {
        SCOPED_TRACE(std::string("exchange refused: ") + refuse);
        int said = 0;
        for (int rename = 4;; ++rename) {
            int n = 1;
            for (;; n += n < 16 ? 1 : 13) {
                SCOPED_TRACE("allocation " + std::to_string(n) + " after rename " + std::to_string(rename));
                scene.reset();
                fs::remove(fired);
                Outcome o = zfcptool(scene.dir, {"extract", scene.package, scene.out().string()},
                                     std::string("ZFCPTOOL_TEST_REFUSE_EXCHANGE=") + refuse + " "
                                         + failingAllocation("rename:" + std::to_string(rename), n, fired));
                if (!fs::exists(fired))
                    break;
                ASSERT_TRUE(o.status == 0 || o.status == 1) << o.err;
                if (o.err.find("下次提取到此处时") != std::string::npos) {
                    ++said;
                    ASSERT_EQ(zfcptool(scene.dir, {"extract", scene.other, scene.out().string()}).status, 0);
                }
                ASSERT_EQ(scene.version(), o.status == 0 ? "new" : "old") << o.err;
                ASSERT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden()) << o.err;
            }
            if (n == 1)
                break; // no such rename
        }
        EXPECT_GT(said, 0);
    }
}

// A category folder linked to another file system: each plug-in is staged where it lands,
// so that the moves into place never cross file systems.
TEST(Zfcptool, ExtractsIntoACategoryFolderOnAnotherFileSystem)
{
    TempDir dir;
    struct stat here {};
    ASSERT_EQ(::stat(dir.path().c_str(), &here), 0);
    fs::path elsewhere;
    for (const char* candidate : {"/dev/shm", "/var/tmp", "/tmp"}) {
        struct stat st {};
        std::string pattern = std::string(candidate) + "/zfcptool-test-XXXXXX";
        if (::stat(candidate, &st) != 0 || st.st_dev == here.st_dev || ::access(candidate, W_OK) != 0
            || !::mkdtemp(pattern.data()))
            continue;
        elsewhere = pattern;
        break;
    }
    if (elsewhere.empty())
        GTEST_SKIP() << "no second writable file system";
    struct Cleanup {
        fs::path path;
        ~Cleanup() { removeTree(path); }
    } cleanup{elsewhere};

    std::mt19937_64 rng(11);
    writeFile(dir / "src/A/f.txt", craft::compressibleText(20000, rng));
    writeFile(dir / "src/R/r", "r");
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "src/A").string(), "transitions", "R",
                             (dir / "src/R").string()})
                  .status,
              0);
    fs::create_directories(dir / "out");
    fs::create_symlink(elsewhere, dir / "out/Effects.localized");
    for (const char* refuse : {"0", "1"}) {
        SCOPED_TRACE(std::string("exchange refused: ") + refuse);
        writeFile(elsewhere / "A/f.txt", "old");  // replaced the second time round
        const Outcome o = zfcptool(dir, {"extract", package, (dir / "out").string()},
                                   std::string("ZFCPTOOL_TEST_REFUSE_EXCHANGE=") + refuse + " ");
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(craft::describeDifference(craft::snapshot(dir / "src/A"), craft::snapshot(elsewhere / "A")), "");
        EXPECT_EQ(readFile(dir / "out/Transitions.localized/R/r"), "r");
        EXPECT_TRUE(fs::is_symlink(dir / "out/Effects.localized"));
        EXPECT_EQ(hiddenOfARun(elsewhere), std::vector<std::string>{});
        EXPECT_EQ(hiddenOfARun(dir / "out"), std::vector<std::string>{});
    }
}

// Recovery believes a run record only when it is this user's own, in its own form, and acts on
// it only once its run is over: then the old copy it names goes back under its name and the new
// one goes. A planted run (another user's, one that others can write, or with a record of
// another mode) is left as it is, and so is the plug-in its record names.
TEST(Zfcptool, RecoveryTakesOnlyThisUsersOwnRunsThatAreOver)
{
    TempDir dir;
    writeFile(dir / "src/G/g", "g");
    const std::string package = (dir / "g.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "generator", "G", (dir / "src/G").string()}).status, 0);
    const fs::path out = dir / "out";
    const fs::path effects = out / "Effects.localized";
    const uid_t me = ::geteuid(), nobody = 65534;
    const struct Case {
        const char* name;
        uid_t runOwner, recordOwner;
        mode_t recordMode;
        bool going;
        mode_t runMode = 0700;
    } cases[] = {
        {"this user's run, still going", me, me, 0600, true},
        {"this user's run, over", me, me, 0600, false},
        {"a record of another mode", me, me, 0644, false},
        {"another user's run", nobody, nobody, 0600, false},
        {"another user's record in this user's run", me, nobody, 0600, false},
        // Anyone could have put this user's record there.
        {"this user's record in another user's run", nobody, me, 0600, false},
        {"this user's record in a run others can write", me, me, 0600, false, 0777},
        {"this user's record in a run its group can write", me, me, 0600, false, 0720},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.runOwner != me || c.recordOwner != me) && me != 0)
            continue; // only root gives files away
        removeTree(out);
        const std::string id = SafeFS::newJournalId();
        const std::string replaced = ".zfcptool-replaced-" + id;
        writeFile(effects / "Glow/f", "new");
        writeFile(effects / replaced / "Glow/f", "old");
        const auto identity = [&](const std::string& path) {
            SafeFS::Identity recorded;
            EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, (effects / path).string(), recorded), 0);
            return recorded;
        };
        // Believed, it puts the copy in the hidden folder in place of the one at the name.
        SafeFS::JournalEntry entry{id, "extract", {{out.string(), "Effects.localized", true}}, {}, {}, false};
        using Role = SafeFS::JournalItem::Role;
        entry.items = {{Role::made, 0, replaced, "", identity(replaced)},
                       {Role::made, 0, replaced + "/Glow", "Glow", identity("Glow")},
                       {Role::old, 0, replaced + "/Glow", "Glow", identity(replaced + "/Glow")}};
        const fs::path run = out / (".zfcptool-run-" + id);
        fs::create_directory(run);
        writeFile(run / "entry", SafeFS::formatEntry(entry));
        ASSERT_EQ(::chmod(run.c_str(), c.runMode), 0);
        ASSERT_EQ(::chmod((run / "entry").c_str(), c.recordMode), 0);
        ASSERT_EQ(::lchown((run / "entry").c_str(), c.recordOwner, c.recordOwner), 0);
        ASSERT_EQ(::lchown(run.c_str(), c.runOwner, c.runOwner), 0);
        const DirHandle::Fd held(::open(run.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_EQ(::flock(held.get(), c.going ? LOCK_EX : LOCK_UN), 0);
        const craft::Tree before = craft::snapshot(out);

        const Outcome o = zfcptool(dir, {"extract", package, out.string()});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(readFile(out / "Generators.localized/G/g"), "g");
        removeTree(out / "Generators.localized");
        if (c.recordOwner == me && c.runOwner == me && c.recordMode == 0600 && c.runMode == 0700 && !c.going) {
            EXPECT_EQ(readFile(effects / "Glow/f"), "old");
            EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
        } else {
            EXPECT_EQ(craft::describeDifference(before, craft::snapshot(out)), "");
        }
    }
}

// Extractions into one root take turns: one that fails while another is under way puts back
// only what it placed, and every plug-in of the other stays, in an empty root or over old
// copies. The failing run stops before its failing move until the other is waiting for it or
// done.
TEST(Zfcptool, AFailedExtractionKeepsAConcurrentOnesPlugIns)
{
    TempDir dir;
    const std::vector<std::string> names{"P0", "P1", "P2"};
    for (const char* version : {"0", "1", "2"}) {
        std::vector<std::string> args{"pack", (dir / version).string() + ".zfcp"};
        for (const std::string& name : names) {
            writeFile(dir / "src" / version / name / "f", version);
            args.insert(args.end(), {"effect", name, (dir / "src" / version / name).string()});
        }
        ASSERT_EQ(zfcptool(dir, args).status, 0);
    }
    const fs::path out = dir / "out";
    const fs::path effects = out / "Effects.localized";
    // 0: into an empty root, 1: over old copies, each while another run is under way; the
    // user's copy put in place of one the failing run placed, 2: under a fresh name, 3: over
    // an old copy, which then cannot go back: the run says so, and its record keeps the old
    // copy for the first extraction after the user's copy has gone. Each plug-in takes one move:
    // the third one's fails.
    for (const int round : {0, 1, 2, 3}) {
        SCOPED_TRACE(round);
        removeTree(out);
        if (round == 1 || round == 3) {
            ASSERT_EQ(zfcptool(dir, {"extract", (dir / "0.zfcp").string(), out.string()}).status, 0);
        }
        Background failing(dir, {"extract", (dir / "1.zfcp").string(), out.string()},
                           "ZFCPTOOL_TEST_PAUSE_FILE=" + quoted((dir / "a").string())
                               + " ZFCPTOOL_TEST_PAUSE_AT=3 ZFCPTOOL_TEST_FAIL_MOVE=3 ",
                           "a");
        ASSERT_TRUE(eventually([&] { return fs::exists(dir / "a.paused"); }));
        std::optional<Background> other;
        std::vector<std::string> placed;
        if (round < 2) {
            other.emplace(dir, std::vector<std::string>{"extract", (dir / "2.zfcp").string(), out.string()},
                          "ZFCPTOOL_TEST_PAUSE_FILE=" + quoted((dir / "b").string()) + " ", "b");
            ASSERT_TRUE(eventually([&] { return other->finished() || fs::exists(dir / "b.waiting"); }));
        } else {
            std::copy_if(names.begin(), names.end(), std::back_inserter(placed),
                         [&](const std::string& name) { return readFile(effects / name / "f") == "1"; });
            ASSERT_EQ(placed.size(), 2u);
            // Made before the run's copy goes, so that it cannot get that copy's inode.
            writeFile(dir / "users/f", "the user's");
            removeTree(effects / placed[0]);
            fs::rename(dir / "users", effects / placed[0]);
        }
        writeFile(dir / "a", "");
        const Outcome failed = failing.finish();
        EXPECT_EQ(failed.status, 1);
        if (other) {
            const Outcome o = other->finish();
            ASSERT_EQ(o.status, 0) << o.err;
            for (const std::string& name : names)
                EXPECT_EQ(readFile(effects / name / "f"), "2") << name;
        } else {
            EXPECT_EQ(readFile(effects / placed[0] / "f"), "the user's");
            EXPECT_EQ(readFile(effects / placed[1] / "f"), round == 3 ? "0" : "");
        }
        if (round == 3) {
            EXPECT_NE(failed.err.find("旧版本未能全部放回，下次提取到此处时放回：" + out.string()), std::string::npos)
                << failed.err;
            EXPECT_NE(hiddenOfARun(out), std::vector<std::string>{});
            removeTree(effects / placed[0]);
            ASSERT_EQ(zfcptool(dir, {"extract", (dir / "2.zfcp").string(), out.string(), "0", "Other"}).status, 0);
            for (const std::string& name : names)
                EXPECT_EQ(readFile(effects / name / "f"), "0") << name;
        }
        EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
        for (const char* marker : {"a", "a.paused", "b.waiting"})
            fs::remove(dir / marker);
    }
}

// A plug-in named as a run's hidden folder, this tool's or the application's, would be put
// right or removed by a later run: it is refused before anything is written. Near forms are
// names like any other.
TEST(Zfcptool, PlugInsNamedAsHiddenFoldersAreRefused)
{
    TempDir dir;
    writeFile(dir / "src/f", "x");
    const std::string src = (dir / "src").string();
    const std::string h = (dir / "h.zfcp").string();
    const std::string app = (dir / "app.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", h, "effect", "OK", src, "effect", ".zfcptool-run-00000000000000aa", src, "effect",
                             ".zfcptool-replaced-00000000000000aa", src})
                  .status,
              0);
    ASSERT_EQ(zfcptool(dir, {"pack", app, "effect", ".Glow.loomwork-replaced-0123456789abcdef", src}).status, 0);
    const std::string out = (dir / "out").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
        {{h, out}, ".zfcptool-run-00000000000000aa"},
        {{h, out, "2"}, ".zfcptool-replaced-00000000000000aa"},
        {{h, out, "0", " .zfcptool-extract-0123456789abcdef"}, ".zfcptool-extract-0123456789abcdef"},
        {{app, out, "0"}, ".Glow.loomwork-replaced-0123456789abcdef"},
        {{h, out, "0", "..loomwork-install-0123456789abcdef"}, "..loomwork-install-0123456789abcdef"},
        {{h, out, "0", ".a.loomwork-rewrite-0123456789abcdef"}, ".a.loomwork-rewrite-0123456789abcdef"},
    };
    for (const auto& [args, name] : refused) {
        SCOPED_TRACE(args.back());
        std::vector<std::string> command{"extract"};
        command.insert(command.end(), args.begin(), args.end());
        const Outcome o = zfcptool(dir, command);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(lastLine(o.err), "插件名称与提取所用的隐藏文件夹同形，不能提取：" + name);
        EXPECT_FALSE(fs::exists(out));
    }
    for (const char* name : {".zfcptool-run-00000000000000AA", ".Glow.loomwork-replaced", ".zfcptool-run-0123",
                             ".zfcptool-Run-00000000000000aa"}) {
        ASSERT_EQ(zfcptool(dir, {"extract", h, out, "0", name}).status, 0);
        EXPECT_EQ(readFile(dir / "out" / name / "f"), "x");
    }
}

// Two plug-ins whose names become one folder would leave only the last: such a package is
// refused before anything is written, saying why, and pack does not make one. Of other types
// they land apart.
TEST(Zfcptool, PlugInsThatWouldShareAFolderAreRefused)
{
    TempDir dir;
    writeFile(dir / "src/f", "x");
    writeFile(dir / "src2/g", "y");
    const std::string src = (dir / "src").string();
    struct Case {
        std::string first, firstType, second /* JSON string text */, secondType;
        std::string landing; // empty: not refused
    };
    const Case cases[]{
        {"x/y", "effect", "x_y", "effect", "Effects.localized/x_y"},
        {"N", "effect", " N\\u3000", "effect", "Effects.localized/N"},
        {"Odd", "unknown-a", "Odd", "unknown-b", "Other.localized/Odd"}, // both land in the folder of unknown types
        {"Same", "effect", "Same", "subtitle", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first + " / " + c.second + " / " + c.secondType);
        const std::string package = (dir / "p.zfcp").string();
        ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", src, "effect", "B", src}).status, 0);
        craft::rewriteMetadata(package, [&](const std::string& text) {
            auto meta = nlohmann::json::parse(text);
            meta[0]["name"] = c.first;
            meta[0]["type"] = c.firstType;
            meta[1]["name"] = nlohmann::json::parse('"' + c.second + '"');
            meta[1]["type"] = c.secondType;
            return meta.dump();
        });
        const fs::path out = dir / "out";
        const Outcome o = zfcptool(dir, {"extract", package, out.string()});
        if (!c.landing.empty()) {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(lastLine(o.err), "封包里有两个插件会提取到同一个文件夹（只会留下后一个），未提取任何插件：" + c.landing);
            EXPECT_FALSE(fs::exists(out));
        } else {
            EXPECT_EQ(o.status, 0) << o.err;
            std::size_t plugins = 0;
            for (const auto& category : fs::directory_iterator(out))
                plugins += std::distance(fs::directory_iterator(category.path()), {});
            EXPECT_EQ(plugins, 2u);
        }
        fs::remove_all(out);
    }

    const std::string src2 = (dir / "src2").string();
    const std::string made = (dir / "made.zfcp").string();
    for (const auto& [second, landing] : {std::pair<std::string, std::string>{"A", "Effects.localized/A"},
                                          {"x_y", "Effects.localized/x_y"}}) {
        SCOPED_TRACE(second);
        const std::string first = second == "A" ? "A" : "x/y";
        const Outcome o = zfcptool(dir, {"pack", made, "effect", first, src, "subtitle", first, src, "effect", second, src2});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(lastLine(o.err), "两个插件提取时会落在同一个文件夹（只会留下后一个），未写入封包：" + landing);
        EXPECT_FALSE(fs::exists(made));
    }
}

// Old copies with read-only subfolders are made writable before they go (root never needs
// that, so the runs are nobody's), whether the run ends or is killed after any step and the
// next one puts right what it left.
TEST(Zfcptool, ReadOnlyFoldersOfOldCopiesGo)
{
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run as nobody";
    TempDir dir;
    writeFile(dir / "src/A/f", "new");
    writeFile(dir / "src/G/g", "g");
    const std::string package = (dir / "p.zfcp").string();
    const std::string other = (dir / "g.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "src/A").string()}).status, 0);
    ASSERT_EQ(zfcptool(dir, {"pack", other, "generator", "G", (dir / "src/G").string()}).status, 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    const fs::path out = dir / "out";
    const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed after step " + std::to_string(step));
        removeTree(out);
        writeFile(out / "Effects.localized/A/sub/x", "old");
        for (fs::recursive_directory_iterator it(out), end; it != end; ++it)
            ASSERT_EQ(::lchown(it->path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chmod((out / "Effects.localized/A/sub").c_str(), 0555), 0);
        Outcome o = zfcptool(dir, {"extract", package, out.string()}, "ZFCPTOOL_TEST_EXIT_AFTER=" + std::to_string(step) + " " + nobody);
        if (o.status == 0) {
            EXPECT_EQ(o.err, "");
            EXPECT_EQ(readFile(out / "Effects.localized/A/f"), "new");
            EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
            EXPECT_GE(step, 10);
            break;
        }
        ASSERT_EQ(o.status, 86) << o.err;
        o = zfcptool(dir, {"extract", other, out.string()}, nobody);
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
        EXPECT_TRUE(readFile(out / "Effects.localized/A/f") == "new" || readFile(out / "Effects.localized/A/sub/x") == "old");
    }
}

// A failure names where the plug-in was going, never a folder of the run's own. Two category
// folders that lead to one folder share one staging folder there.
TEST(Zfcptool, FailuresNameThePlugInAndLinkedCategoriesShareAFolder)
{
    std::mt19937_64 rng(5);
    TempDir dir;
    writeFile(dir / "src/A/big", craft::randomBytes(256 * 1024, rng));
    writeFile(dir / "src/R/r", "r");
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "src/A").string(), "transitions", "R",
                             (dir / "src/R").string()})
                  .status,
              0);
    Outcome o = zfcptool(dir, {"extract", package, (dir / "full").string()}, "ulimit -f 64; trap '' XFSZ; ");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(lastLine(o.err).find((dir / "full/Effects.localized/A/big").string()), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find(".zfcptool-"), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir / "full"));

    const fs::path out = dir / "out";
    fs::create_directories(out / "Transitions.localized");
    fs::create_symlink("Transitions.localized", out / "Effects.localized");
    o = zfcptool(dir, {"extract", package, out.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(readFile(out / "Transitions.localized/A/big"), readFile(dir / "src/A/big"));
    EXPECT_EQ(readFile(out / "Transitions.localized/R/r"), "r");
    EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
}

// Anyone may rename or exchange any name in the system library. Once the staging folder stands,
// a neighbour who swaps it for a link to the owner's private folder, or exchanges it with
// another plug-in, gets nothing written there: the package goes through the staging folder's
// handle, and lands whole (all plug-ins into their category folder, or one into ROOT itself).
// One who takes a placed plug-in away before the run ends makes it fail, naming the plug-in:
// the exit status is 0 only when the package stands whole.
TEST(Zfcptool, ANeighboursSwapsInTheLibraryRedirectNothing)
{
    TempDir dir;
    writeFile(dir / "src/A/a", "a");
    writeFile(dir / "src/B/b", "b");
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "src/A").string(), "effect", "B",
                             (dir / "src/B").string()})
                  .status,
              0);
    const fs::path out = dir / "out";
    const fs::path effects = out / "Effects.localized";
    const fs::path mine = dir / "private";
    enum class Swap { stagingForLink, stagingWithKeep, placedForLink };
    const struct Case {
        const char* name;
        Swap swap;
        const char* pauseAt;
        bool alone = false; // A alone, into ROOT itself
    } cases[] = {
        {"the staging folder swapped for a link", Swap::stagingForLink, "read"},
        {"the staging folder exchanged with a plug-in", Swap::stagingWithKeep, "read"},
        {"a placed plug-in swapped for a link", Swap::placedForLink, "2"},
        {"one plug-in, the staging folder swapped for a link", Swap::stagingForLink, "read", true},
        {"one plug-in, the staging folder exchanged with a plug-in", Swap::stagingWithKeep, "read", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path landing = c.alone ? out : effects;
        const std::vector<std::string> names = c.alone ? std::vector<std::string>{"A"} : std::vector<std::string>{"A", "B"};
        std::vector<std::string> args{"extract", package, out.string()};
        if (c.alone)
            args.push_back("0");
        for (const fs::path& made : {out, mine, dir / "taken"})
            removeTree(made);
        writeFile(landing / "Keep/k", "keep");
        writeFile(mine / "p", "private");
        ASSERT_EQ(::chmod(mine.c_str(), 0700), 0);
        for (const fs::path& shared : {out, landing})
            ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
        const craft::Tree keep = craft::snapshot(landing / "Keep");
        const craft::Tree before = craft::snapshot(mine);
        Background run(dir, args,
                       "ZFCPTOOL_TEST_PAUSE_FILE=" + quoted((dir / "go").string()) + " ZFCPTOOL_TEST_PAUSE_AT=" + c.pauseAt + " ",
                       "n");
        ASSERT_TRUE(eventually([&] { return fs::exists(dir / "go.paused"); }));
        std::string staging;
        for (const auto& item : fs::directory_iterator(landing)) {
            if (item.path().filename().string().rfind(".zfcptool-extract-", 0) == 0)
                staging = item.path().filename().string();
        }
        ASSERT_FALSE(staging.empty());
        fs::path keepNow = landing / "Keep";
        if (c.swap == Swap::stagingForLink) {
            fs::rename(landing / staging, dir / "taken");
            fs::create_directory_symlink(mine, landing / staging);
        } else if (c.swap == Swap::stagingWithKeep) {
            const DirHandle::Fd folder(::open(landing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_EQ(DirHandle::renameAt(folder.get(), staging, folder.get(), "Keep", DirHandle::Rename::exchange), 0);
            keepNow = landing / staging;
        } else {
            ASSERT_TRUE(fs::exists(effects / "A"));
            fs::rename(effects / "A", dir / "taken");
            fs::create_directory_symlink(mine, effects / "A");
        }
        writeFile(dir / "go", "");
        const Outcome o = run.finish();
        EXPECT_EQ(craft::describeDifference(before, craft::snapshot(mine)), "");
        EXPECT_EQ(craft::describeDifference(keep, craft::snapshot(keepNow)), "");
        bool whole = true;
        for (const std::string& name : names) {
            whole = whole && fs::is_directory(fs::symlink_status(landing / name))
                 && craft::describeDifference(craft::snapshot(dir / "src" / name), craft::snapshot(landing / name)).empty();
        }
        if (c.swap == Swap::placedForLink) {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(lastLine(o.err), "插件未就位，可能已被他人移走或替换：" + (effects / "A").string());
        } else {
            EXPECT_EQ(o.status, 0) << o.err;
            EXPECT_TRUE(whole);
        }
        for (const char* marker : {"go", "go.paused"})
            fs::remove(dir / marker);
    }
}

// A run killed while it wrote its first record leaves its folder holding the record's
// temporary: the next run removes that folder. Anything else in it, however close to the
// temporary's form, keeps it.
TEST(Zfcptool, ARunFolderHoldingOnlyItsRecordsTemporariesGoes)
{
    TempDir dir;
    writeFile(dir / "src/G/g", "g");
    const std::string package = (dir / "g.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "generator", "G", (dir / "src/G").string()}).status, 0);
    const fs::path out = dir / "out";
    const std::string temporary = "entry.tmp-0123456789abcdef";
    const struct Case {
        const char* name;
        std::vector<std::string> files, folders;
        bool removed;
    } cases[] = {
        {"empty", {}, {}, true},
        {"the record's temporaries", {temporary, "entry.tmp-fedcba9876543210"}, {}, true},
        {"a temporary and a stranger", {temporary, "stranger"}, {}, false},
        {"a temporary of another form", {"entry.tmp-0123456789ABCDEF"}, {}, false},
        {"a folder named as a temporary", {}, {temporary}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        removeTree(out);
        const fs::path run = out / (".zfcptool-run-" + SafeFS::newJournalId());
        fs::create_directories(run);
        ASSERT_EQ(::chmod(run.c_str(), 0700), 0);
        for (const std::string& file : c.files)
            writeFile(run / file, "id 01");
        for (const std::string& folder : c.folders)
            fs::create_directory(run / folder);
        const craft::Tree before = craft::snapshot(run);

        const Outcome o = zfcptool(dir, {"extract", package, out.string()});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(readFile(out / "Generators.localized/G/g"), "g");
        EXPECT_EQ(fs::exists(run), !c.removed);
        if (!c.removed && fs::exists(run)) {
            EXPECT_EQ(craft::describeDifference(before, craft::snapshot(run)), "");
        }
    }
}

// A record write that fails (the first failing one having reached the disk, the later ones
// not) fails the run. When even taking back its finish fails, the run does not undo by a record
// that may still say finish: it says so, leaves every plug-in new, and the next extraction into
// that root settles it. Otherwise every plug-in is old again.
TEST(Zfcptool, AnUndoWhoseRecordCannotBeRewrittenIsLeftToTheNextRun)
{
    SwapScene scene;
    const std::string left = std::string("旧版本未能全部放回，下次提取到此处时放回：") + scene.out().string();
    int said = 0;
    for (int write = 1;; ++write) {
        SCOPED_TRACE("failing record write " + std::to_string(write));
        scene.reset();
        const Outcome o = zfcptool(scene.dir, {"extract", scene.package, scene.out().string()},
                                   "ZFCPTOOL_TEST_FAIL_RECORD=" + std::to_string(write) + " ");
        if (o.status == 0)
            break;
        ASSERT_EQ(o.status, 1) << o.err;
        const bool leftToNext = o.err.find(left) != std::string::npos;
        said += leftToNext;
        const std::string version = leftToNext ? "new" : "old";
        EXPECT_EQ(scene.version(), version) << o.err;
        ASSERT_EQ(zfcptool(scene.dir, {"extract", scene.other, scene.out().string()}).status, 0);
        EXPECT_EQ(scene.version(), version);
        EXPECT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden());
    }
    EXPECT_EQ(said, 1); // the finish's write
}

namespace {

// The record of each run a kill left in `root`.
std::vector<fs::path> recordsIn(const fs::path& root)
{
    std::vector<fs::path> records;
    for (const auto& run : fs::directory_iterator(root)) {
        if (run.path().filename().string().rfind(".zfcptool-run-", 0) == 0 && fs::exists(run.path() / "entry"))
            records.push_back(run.path() / "entry");
    }
    return records;
}

// Each record in `root` rewritten by `change` (mode 0600 kept).
int rewriteRecords(const fs::path& root, const std::function<void(std::string& text, SafeFS::JournalEntry&)>& change)
{
    const std::vector<fs::path> records = recordsIn(root);
    for (const fs::path& record : records) {
        const std::string name = record.parent_path().filename().string();
        std::string text = readFile(record);
        SafeFS::JournalEntry entry = SafeFS::parseEntry(text, name.substr(name.rfind('-') + 1));
        EXPECT_FALSE(entry.damaged) << text;
        change(text, entry);
        writeFile(record, text);
        EXPECT_EQ(::chmod(record.c_str(), 0600), 0);
    }
    return int(records.size());
}

} // namespace

// A disk's number can change between runs: the next run finds what a killed one left by inode
// and birth time, whatever device its record names, and puts it right whole.
TEST(Zfcptool, TheNextRunPutsRightAKilledOneWhoseDiskCameBackUnderAnotherNumber)
{
    SwapScene scene;
    int kills = 0;
    for (int step = 1;; ++step) {
        SCOPED_TRACE("killed after step " + std::to_string(step));
        scene.reset();
        Outcome o = zfcptool(scene.dir, {"extract", scene.package, scene.out().string()},
                             "ZFCPTOOL_TEST_EXIT_AFTER=" + std::to_string(step) + " ");
        if (o.status == 0)
            break;
        ASSERT_EQ(o.status, 86) << o.err;
        ++kills;
        bool born = true;
        rewriteRecords(scene.out(), [&](std::string& text, SafeFS::JournalEntry& entry) {
            for (SafeFS::JournalItem& item : entry.items) {
                born = born && (item.identity.born != 0 || !item.identity.known());
                if (item.identity.known())
                    item.identity.device += 1;
            }
            text = SafeFS::formatEntry(entry);
        });
        if (!born)
            GTEST_SKIP() << "this file system tells no birth times";
        o = zfcptool(scene.dir, {"extract", scene.other, scene.out().string()});
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string version = scene.version();
        ASSERT_TRUE(version == "old" || version == "new") << version;
        EXPECT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden());
    }
    EXPECT_GE(kills, 10);
}

// A record the next run cannot act on (a place out of reach, a record of the older form) is
// never dropped: that run takes no step, says what waits and fails; the record stays, and the
// first run that can act on it puts it right.
TEST(Zfcptool, ARunThatCannotBePutRightStopsTheNextAndSaysWhatWaits)
{
    SwapScene scene;
    const fs::path unplugged = scene.dir / "unplugged";
    for (const bool olderForm : {false, true}) {
        SCOPED_TRACE(olderForm ? "a record of the older form" : "a place out of reach");
        scene.reset();
        ASSERT_EQ(zfcptool(scene.dir, {"extract", scene.package, scene.out().string()}, "ZFCPTOOL_TEST_EXIT_AFTER=12 ").status, 86);
        std::string kept;
        ASSERT_EQ(rewriteRecords(scene.out(), [&](std::string& text, SafeFS::JournalEntry& entry) {
                      kept = text;
                      if (olderForm) {
                          // Seven words an item: the birth time left out.
                          for (std::size_t at = text.find("\nitem "); at != std::string::npos; at = text.find("\nitem ", at + 1))
                              text.erase(text.rfind(' ', text.find('\n', at + 1)), text.find('\n', at + 1) - text.rfind(' ', text.find('\n', at + 1)));
                      } else {
                          for (SafeFS::JournalPlace& place : entry.places)
                              place.root = unplugged.string();
                          text = SafeFS::formatEntry(entry);
                      }
                  }),
                  1);
        const craft::Tree left = craft::snapshot(scene.out());
        for (int run = 0; run < 2; ++run) {
            const Outcome o = zfcptool(scene.dir, {"extract", scene.other, scene.out().string()});
            EXPECT_EQ(o.status, 1) << o.err;
            EXPECT_EQ(lastLine(o.err), "上次中断的提取没有复原，本次没有提取：" + scene.out().string()) << o.err;
            if (olderForm) {
                EXPECT_NE(o.err.find("格式过旧"), std::string::npos) << o.err;
                EXPECT_NE(o.err.find((scene.out() / "Effects.localized" / "A").string()), std::string::npos) << o.err;
            } else {
                EXPECT_NE(o.err.find("无法打开：" + (unplugged / "Effects.localized").string()), std::string::npos) << o.err;
            }
            EXPECT_EQ(craft::describeDifference(left, craft::snapshot(scene.out())), "") << "nothing done";
        }
        // As it was written: the next run puts it right.
        const std::vector<fs::path> records = recordsIn(scene.out());
        ASSERT_EQ(records.size(), 1u);
        writeFile(records.front(), kept);
        const Outcome o = zfcptool(scene.dir, {"extract", scene.other, scene.out().string()});
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string version = scene.version();
        EXPECT_TRUE(version == "old" || version == "new") << version;
        EXPECT_EQ(hiddenOfARun(scene.out()), SwapScene::usersHidden());
    }
}

// The test seams are built into the tests' own zfcptool only.
TEST(Zfcptool, TheShippedToolHasNoTestSeams)
{
    const auto holds = [](const char* path) { return readFile(path).find("ZFCPTOOL_TEST_") != std::string::npos; };
    EXPECT_FALSE(holds(ZFCPTOOL_PATH));
    EXPECT_TRUE(holds(ZFCPTOOL_SEAMS_PATH));
}

// An extraction replaces only what stood at each plug-in's name when its run began: another
// user who renames his own item onto the name meanwhile, puts one where nothing stood, or
// exchanges the name just as the run exchanges it, never has his item replaced, and the run
// says so and fails.
TEST(ZfcptoolTest, ExtractReplacesOnlyWhatStoodWhenTheRunBegan)
{
    TempDir dir;
    writeFile(dir / "src/A/new", "new");
    const std::string package = (dir / "p.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "A", (dir / "src/A").string()}).status, 0);
    const fs::path out = dir / "out";
    const fs::path effects = out / "Effects.localized";
    enum class Act { renameOnto, appear, exchangeAtMove };
    const struct Case {
        const char* name;
        Act act;
        const char* pauseAt;
        bool aStood;
    } cases[] = {
        {"another item renamed onto the name", Act::renameOnto, "read", true},
        {"an item put where nothing stood", Act::appear, "read", false},
        {"the name exchanged as the run exchanges it", Act::exchangeAtMove, "1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        removeTree(out);
        if (c.aStood)
            writeFile(effects / "A/old", "old");
        writeFile(effects / "Zed/other", "the neighbour's");
        Background run(dir, {"extract", package, out.string()},
                       "ZFCPTOOL_TEST_PAUSE_FILE=" + quoted((dir / "go").string()) + " ZFCPTOOL_TEST_PAUSE_AT=" + c.pauseAt + " ",
                       "n");
        ASSERT_TRUE(eventually([&] { return run.finished() || fs::exists(dir / "go.paused"); }));
        switch (c.act) {
        case Act::renameOnto:
            fs::rename(effects / "A", dir / "moved");
            fs::rename(effects / "Zed", effects / "A");
            break;
        case Act::appear:
            fs::rename(effects / "Zed", effects / "A");
            break;
        case Act::exchangeAtMove: {
            const DirHandle::Fd folder(::open(effects.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_EQ(DirHandle::renameAt(folder.get(), "A", folder.get(), "Zed", DirHandle::Rename::exchange), 0);
            break;
        }
        }
        writeFile(dir / "go", "");
        const Outcome o = run.finish();
        fs::remove(dir / "go");
        fs::remove(dir / "go.paused");
        // The neighbour's item is whole wherever he left it, and so is the old A.
        int others = 0, olds = 0, news = 0;
        for (const fs::path& folder : {effects, dir / ""}) {
            for (const auto& item : fs::directory_iterator(folder)) {
                others += readFile(item.path() / "other") == "the neighbour's";
                olds += readFile(item.path() / "old") == "old";
                news += readFile(item.path() / "new") == "new" && item.path().parent_path() == effects;
            }
        }
        EXPECT_EQ(others, 1);
        EXPECT_EQ(olds, c.aStood && o.status == 1 ? 1 : 0);
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find("解包开始后"), std::string::npos) << o.err;
        EXPECT_EQ(news, 0) << "reported failed, nothing new stands";
        EXPECT_TRUE(hiddenOfARun(out).empty());
        removeTree(dir / "moved");
    }
}

// A plug-in as deep as the walks go is extracted, and again over itself (its old copy taken
// away through the walks) with few files open, leaving nothing hidden; a package one level
// deeper is refused before the run makes anything, with a message naming the plug-in.
TEST(Zfcptool, APackageAsDeepAsTheWalksGoIsReplacedCleanlyAndADeeperOneIsRefused)
{
    TempDir dir;
    const std::string chain = DeepChain::path(ZFCFolderStack::maxDepth - 1);
    writeFile(dir / "src/Deep" / chain / "f", "deepest");
    fs::create_directory(dir / "src/Deep" / chain / "e");
    const std::string package = (dir / "deep.zfcp").string();
    ASSERT_EQ(zfcptool(dir, {"pack", package, "effect", "Deep", (dir / "src/Deep").string()}).status, 0);
    const fs::path out = dir / "out";
    const std::vector<std::vector<std::string>> runs{{"extract", package, out.string()},
                                                     {"extract", package, out.string()},
                                                     {"extract", "--overwrite", package, (out / "Effects.localized").string(), "0"}};
    for (const auto& run : runs) {
        const Outcome o = zfcptool(dir, run, "ulimit -n 64; ");
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(readFile(out / "Effects.localized/Deep" / chain / "f"), "deepest");
        EXPECT_TRUE(fs::is_directory(out / "Effects.localized/Deep" / chain / "e"));
        EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
    }

    const std::string deeper = (dir / "deeper.zfcp").string();
    fs::copy_file(package, deeper);
    craft::rewriteMetadata(deeper, [](const std::string& text) {
        // Every path one folder further down.
        std::string edited = text;
        const std::string key = "\"path\":\"";
        for (std::size_t at = 0; (at = edited.find(key, at)) != std::string::npos; at += key.size())
            edited.insert(at + key.size(), "x/");
        return edited;
    });
    const std::string expected = "插件「Deep」的文件夹嵌套超过 " + std::to_string(ZFCFolderStack::maxDepth) + " 层："
                               + ZFCPackageError::quotedName("x/" + chain + "/e");
    const craft::Tree before = craft::snapshot(out);
    for (const auto& run : {std::vector<std::string>{"extract", deeper, out.string()},
                            std::vector<std::string>{"extract", "--overwrite", deeper, (out / "Effects.localized").string(), "0"},
                            std::vector<std::string>{"extract", deeper, (dir / "fresh").string()}}) {
        const Outcome o = zfcptool(dir, run);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(lastLine(o.err), expected);
    }
    EXPECT_EQ(craft::describeDifference(before, craft::snapshot(out)), "");
    EXPECT_EQ(craft::snapshot(out).size(), before.size());
    EXPECT_EQ(hiddenOfARun(out), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "fresh"));
}
