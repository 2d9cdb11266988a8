#include "Seams.h"

#ifdef ZFCPTOOL_SEAMS

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>

namespace Seams {
namespace {

// Each sync, in place of the system's, appends what ZFCPTOOL_TEST_SYNC_ROOT holds to the file
// ZFCPTOOL_TEST_SYNC_LOG: "sync", a line "<path>\t<size>" for every regular file below, "end".
// A power cut after it keeps what that listing shows and no more.
void logSyncs(std::string log, std::filesystem::path root)
{
    SafeFS::setSyncHookForTests([log = std::move(log), root = std::move(root)](int) {
        std::ofstream out(log, std::ios::app);
        out << "sync\n";
        std::error_code ec;
        for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_regular_file(ec) && !it->is_symlink(ec))
                out << std::filesystem::relative(it->path(), root).string() << '\t' << it->file_size(ec) << '\n';
        }
        out << "end\n";
        return out.good() ? 0 : EIO;
    });
}

void appendLine(const std::string& log, const std::string& line)
{
    std::ofstream(log, std::ios::app) << line << '\n';
}

// Each sync, made as usual, leaves a line "syncfs" in ZFCPTOOL_TEST_COUNT_LOG.
void countSyncs(std::string log)
{
    SafeFS::setSyncHookForTests([log = std::move(log)](int fd) {
        appendLine(log, "syncfs");
        return ::syncfs(fd) == 0 ? 0 : errno;
    });
}

struct Settings
{
    bool refuseExchange = false;
    long failMove = 0;
    long failRecord = 0;
    long exitAfter = 0;
    long pauseAt = 0;
    bool pauseBeforeRead = false;
    std::string pauseFile;
    std::string countLog;
    long moves = 0;
    long steps = 0;
    long records = 0;
};

Settings& settings()
{
    static Settings s = [] {
        const auto number = [](const char* name) {
            const char* value = std::getenv(name);
            return value ? std::strtol(value, nullptr, 10) : 0L;
        };
        Settings made;
        made.refuseExchange = number("ZFCPTOOL_TEST_REFUSE_EXCHANGE") != 0;
        // A file system without renameat2: every flag refused, in the run and in its undo.
        if (number("ZFCPTOOL_TEST_REFUSE_FLAGS") != 0)
            DirHandle::refuseRenameFlagsForTests(true);
        made.failMove = number("ZFCPTOOL_TEST_FAIL_MOVE");
        made.failRecord = number("ZFCPTOOL_TEST_FAIL_RECORD");
        made.exitAfter = number("ZFCPTOOL_TEST_EXIT_AFTER");
        made.pauseAt = number("ZFCPTOOL_TEST_PAUSE_AT");
        if (const char* at = std::getenv("ZFCPTOOL_TEST_PAUSE_AT"))
            made.pauseBeforeRead = std::string(at) == "read";
        if (const char* file = std::getenv("ZFCPTOOL_TEST_PAUSE_FILE"))
            made.pauseFile = file;
        const char* log = std::getenv("ZFCPTOOL_TEST_SYNC_LOG");
        const char* root = std::getenv("ZFCPTOOL_TEST_SYNC_ROOT");
        if (log && root)
            logSyncs(log, root);
        if (const char* counts = std::getenv("ZFCPTOOL_TEST_COUNT_LOG")) {
            made.countLog = counts;
            countSyncs(counts);
        }
        return made;
    }();
    return s;
}

void signal(const char* suffix)
{
    if (!settings().pauseFile.empty())
        ::close(::open((settings().pauseFile + suffix).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
}

// Bounded, so that a test that never lets go does not leave the run behind for good.
void pause()
{
    signal(".paused");
    struct stat st;
    for (int tries = 0; tries < 6000 && ::stat(settings().pauseFile.c_str(), &st) != 0; ++tries)
        ::usleep(10000);
}

} // namespace

void start() { settings(); }

bool refuseExchange() { return settings().refuseExchange; }

int beforeMove()
{
    Settings& s = settings();
    if (s.moves + 1 == s.pauseAt && !s.pauseFile.empty())
        pause();
    return ++s.moves == s.failMove ? EIO : 0;
}

void stepDone()
{
    if (++settings().steps == settings().exitAfter)
        ::_exit(86);
}

void waiting() { signal(".waiting"); }

void beforeRead()
{
    if (settings().pauseBeforeRead && !settings().pauseFile.empty())
        pause();
}

void recordWritten(int folder, const char* name)
{
    struct stat st;
    if (!settings().countLog.empty() && ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        appendLine(settings().countLog, "record " + std::to_string(st.st_size));
}

RecordWrite recordWrite()
{
    Settings& s = settings();
    if (s.failRecord == 0 || ++s.records < s.failRecord)
        return RecordWrite::asUsual;
    return s.records == s.failRecord ? RecordWrite::failAfterWriting : RecordWrite::failBeforeWriting;
}

} // namespace Seams

#else

namespace Seams {

void start() {}
bool refuseExchange() { return false; }
int beforeMove() { return 0; }
void stepDone() {}
void waiting() {}
void beforeRead() {}
void recordWritten(int, const char*) {}
RecordWrite recordWrite() { return RecordWrite::asUsual; }

} // namespace Seams

#endif
