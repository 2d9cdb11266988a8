#include "LoomworkKit/ZFCPackageReader.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <istream>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"
#include "LoomworkKit/ZFCInflater.h"
#include "LoomworkKit/ZFCPackageError.h"

namespace fs = std::filesystem;

namespace {

constexpr char kKeyText[] = "a41c7e09b3d85f26c0e97b14d2a6f853";
using Kind = ZFCPackageError::Kind;

ZFCPackageError failure(Kind kind, std::string subject = {}) { return ZFCPackageError::failure(kind, std::move(subject)); }

// The damaged-data error of one file, naming its plug-in and its path.
ZFCPackageError damaged(Kind kind, const ZFCPlugin& plugin, const ZFCEntry& entry)
{
    return failure(kind, "插件「" + ZFCPackageError::quotedName(plugin.name) + "」的文件「" +
                             ZFCPackageError::quotedName(entry.path) + "」");
}

bool checkedAdd(int64_t a, int64_t b, int64_t& sum)
{
    return !__builtin_add_overflow(a, b, &sum);
}

bool nonNegative(const std::optional<int64_t>& value) { return !value || *value >= 0; }

// The components of a stored relative path, "\" taken as "/". Throws "封包内路径非法：".
std::vector<std::string> safeComponents(std::string_view rel)
{
    std::string s(rel);
    std::replace(s.begin(), s.end(), '\\', '/');
    if (s.empty() || s.front() == '/' || s.find('\0') != std::string::npos)
        throw failure(Kind::pathInvalid, std::string(rel));
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t slash = std::min(s.find('/', start), s.size());
        std::string part = s.substr(start, slash - start);
        if (part == "." || part == "..")
            throw failure(Kind::pathInvalid, std::string(rel));
        if (!part.empty())
            parts.push_back(std::move(part));
        start = slash + 1;
    }
    return parts;
}

// Lexical containment: both paths normalised as given, so no working directory is asked
// for (both are absolute, or both relative to the same folder).
bool isInside(const fs::path& child, const fs::path& root)
{
    const auto text = [](const fs::path& p) {
        std::string t = p.lexically_normal().string();
        while (t.size() > 1 && t.back() == '/')
            t.pop_back();
        return t;
    };
    if (child.is_absolute() != root.is_absolute())
        return isInside(fs::absolute(child), fs::absolute(root));
    const std::string c = text(child);
    const std::string r = text(root);
    if (r == ".")
        return c != ".." && c.rfind("../", 0) != 0;
    if (c == r)
        return true;
    const std::string prefix = r == "/" ? r : r + "/";
    return c.compare(0, prefix.size(), prefix) == 0;
}

// The components of rel. Checked one by one as strings ("." and ".." refused, empty ones
// dropped), they cannot lead out of the folder they are appended to.
std::vector<std::string> componentsInside(const fs::path&, std::string_view rel) { return safeComponents(rel); }

// Chunks the extraction may hold ahead of the writer, and the files inflated ahead of it: a
// file of at most kAheadFileLimit bytes whose stored bytes lie in one chunk, within
// kAheadBudget inflated bytes held at once, in runs of up to kAheadRunFiles files and
// kAheadRunBytes stored bytes per worker task. Larger files the writer inflates itself.
constexpr std::size_t kSlots = 8;
constexpr int64_t kAheadFileLimit = 4 * 1024 * 1024;
constexpr int64_t kAheadBudget = 16 * 1024 * 1024;
constexpr std::size_t kAheadRunFiles = 64;
constexpr std::size_t kAheadRunBytes = 256 * 1024;

// One plug-in to extract: into root/<name, else its stored name, through safeName>.
struct Target
{
    const ZFCPlugin* plugin;
    fs::path root;
    std::optional<std::string> name;
    bool overwrite;
};

fs::path destinationOf(const Target& target)
{
    std::string folder;
    if (target.name)
        folder = kit::trimWhitespace(*target.name);
    if (folder.empty())
        folder = target.plugin->name;
    folder = ZFCPackageReader::safeName(folder);
    if (folder.empty())
        throw ZFCPackageError::metadataCorrupted();
    return target.root / folder;
}

// The file offset where the plug-in's chunk stream ends; metadataCorrupted when it does not fit.
int64_t streamEnd(const ZFCPlugin& plugin)
{
    int64_t end = 0;
    if (plugin.position < 0 || plugin.eSize < 0 || !checkedAdd(plugin.position, plugin.eSize, end))
        throw ZFCPackageError::metadataCorrupted();
    return end;
}

// Files a worker inflates from one chunk's plaintext into one buffer.
struct AheadRun
{
    struct File
    {
        const uint8_t* stored;
        std::size_t length;
        int64_t limit;
        std::size_t offset = 0;  // of its output in `output`
        std::size_t produced = 0;
        bool started = false;
        bool ended = false;
        std::exception_ptr error;
    };
    std::vector<File> files;
    std::size_t storedBytes = 0;
    int64_t reserved = 0;
    std::vector<uint8_t> output;
    std::size_t taken = 0;  // files the writer is through with
    bool done = false;
};

// What the writer does next, in the order a sequential reader meets it.
struct Step
{
    enum class Kind {
        begin,     // target: prepare its folder
        open,      // entry: create the file (`run`: inflated ahead, file `inRun` of it)
        data,      // the slot's bytes [offset, offset + length): written, or inflated
        close,     // complete the open file
        progress,  // decrypting, `fraction`
        end,       // target: links, then the extracting report
        fail,      // `error` ends the extraction
    };
    Kind kind;
    std::size_t target = 0;
    const ZFCEntry* entry = nullptr;
    AheadRun* run = nullptr;
    std::size_t inRun = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    double fraction = 0;
    std::exception_ptr error;
};

// One chunk (or none) and the writer's steps that refer to it. A worker reads and decrypts
// the chunk, then hands its files to be inflated ahead (`runs`) to the workers.
struct Slot
{
    std::unique_ptr<uint8_t[]> chunk;  // [IV][plaintext]
    int64_t offset = 0;                // of the sealed chunk in the package
    std::size_t length = 0;            // 0: no chunk
    std::vector<AheadRun*> runs;
    std::vector<Step> steps;
    bool ready = false;                // read and decrypted, or without a chunk
    std::exception_ptr error;          // reading or decrypting failed: the writer throws it
};

struct Stopped
{
};

// Cuts the chunk streams of the targets into the writer's steps on its own thread, as far
// as kSlots chunks ahead, from their lengths alone; workers read and decrypt the chunks and
// inflate small files in the meantime. Errors become steps, so the writer meets them where
// a sequential reader would. Only a thread that waits is woken.
class Pipeline
{
public:
    Pipeline(ZFCFileHandle& file, const std::vector<Target>& targets, unsigned workers, bool ahead)
        : m_file(file), m_targets(targets), m_slots(kSlots), m_ahead(ahead)
    {
        for (unsigned i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { work(); });
        m_threads.emplace_back([this] { split(); });
    }
    ~Pipeline()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_work.notify_all();
        m_room.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // The next slot in order, once it is cut and its chunk decrypted.
    Slot& next()
    {
        std::unique_lock lock(m_mutex);
        const auto ready = [&] { return m_taken < m_published && slot(m_taken).ready; };
        if (!ready()) {
            m_writerWaits = true;
            m_writer.wait(lock, ready);
            m_writerWaits = false;
        }
        return slot(m_taken);
    }
    // Gives the slot next() returned back to the splitter.
    void release()
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            Slot& done = slot(m_taken);
            done.steps.clear();
            done.runs.clear();
            done.length = 0;
            done.ready = false;
            done.error = nullptr;
            ++m_taken;
            wake = m_splitterWaits && m_published - m_taken <= kSlots / 2;
        }
        if (wake)
            m_room.notify_one();
    }
    // `run`, once inflated.
    AheadRun& await(AheadRun* run)
    {
        std::unique_lock lock(m_mutex);
        if (!run->done) {
            m_writerWaitsFor = run;
            m_writer.wait(lock, [&] { return run->done; });
            m_writerWaitsFor = nullptr;
        }
        return *run;
    }
    // The writer is through with every file of `run`, the oldest run.
    void finished(AheadRun* run)
    {
        std::unique_ptr<AheadRun> gone;
        std::lock_guard lock(m_mutex);
        m_held -= run->reserved;
        gone = std::move(m_runs.front());
        m_runs.pop_front();
    }

private:
    // A worker's task: a slot's chunk to read and decrypt, or a run to inflate.
    struct Task
    {
        Slot* slot = nullptr;
        AheadRun* run = nullptr;
    };

    Slot& slot(std::size_t index) { return m_slots[index % kSlots]; }

    // ---- the splitter's thread ----

    void split()
    {
        try {
            for (std::size_t t = 0; t < m_targets.size(); ++t)
                splitTarget(t);
        } catch (const Stopped&) {
            return;
        } catch (...) {
            try {
                add({Step::Kind::fail, 0, nullptr, nullptr, 0, 0, 0, 0, std::current_exception()});
            } catch (const Stopped&) {
                return;
            }
        }
        if (m_current)
            publish();
    }

    // The slot being filled. When every slot is ahead of the writer, waits until half of
    // them are free, so that the two threads meet once per few chunks.
    Slot& current()
    {
        if (!m_current) {
            std::unique_lock lock(m_mutex);
            if (m_published - m_taken == kSlots) {
                m_splitterWaits = true;
                m_room.wait(lock, [&] { return m_stopping || m_published - m_taken <= kSlots / 2; });
                m_splitterWaits = false;
            }
            if (m_stopping)
                throw Stopped{};
            m_current = &slot(m_published);
        }
        return *m_current;
    }
    // Hands the slot being filled over: to a worker when it has a chunk to read, else
    // straight to the writer.
    void publish()
    {
        Slot& done = *m_current;
        m_current = nullptr;
        bool wakeWriter = false;
        bool wakeWorker = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_run) {
                done.runs.push_back(m_run.get());
                m_runs.push_back(std::move(m_run));
            }
            if (done.length > 0) {
                m_queue.push_back({&done, nullptr});
                wakeWorker = m_idle > 0;
            } else {
                done.ready = true;
                wakeWriter = m_writerWaits && m_published == m_taken;
            }
            ++m_published;
        }
        if (wakeWorker)
            m_work.notify_one();
        if (wakeWriter)
            m_writer.notify_one();
    }
    void add(Step step) { current().steps.push_back(std::move(step)); }

    void splitTarget(std::size_t t)
    {
        const ZFCPlugin& plugin = *m_targets[t].plugin;
        const int64_t end = streamEnd(plugin);
        add({Step::Kind::begin, t});
        m_files.clear();
        for (const ZFCEntry& entry : plugin.items) {
            if (entry.type == "file")
                m_files.push_back(&entry);
        }
        std::stable_sort(m_files.begin(), m_files.end(), [](const ZFCEntry* a, const ZFCEntry* b) {
            return a->position.value_or(0) < b->position.value_or(0);
        });
        m_next = 0;
        m_open = false;

        int64_t offset = plugin.position;
        int64_t consumed = 0;
        while (offset < end) {
            uint8_t header[kit::kHeaderSize];
            if (m_file.readAt(header, sizeof header, offset) != sizeof header)
                throw ZFCPackageError::failure(Kind::chunkHeaderTruncated, offset);
            const int64_t length = kit::readLengthHeader(header);
            // Refused before reading: too short to hold an IV and a byte, longer than a
            // sealed 1 MiB piece, or running past this plug-in's stream.
            if (length < kit::kMinSealedLength || length > kit::kMaxChunkLength ||
                length > end - offset - static_cast<int64_t>(kit::kHeaderSize))
                throw ZFCPackageError::failure(Kind::chunkLengthInvalid, length);
            Slot& slot = current();
            if (!slot.chunk)
                slot.chunk.reset(new uint8_t[kit::kMaxChunkLength]);
            slot.offset = offset + static_cast<int64_t>(kit::kHeaderSize);
            slot.length = static_cast<std::size_t>(length);
            cut(slot.chunk.get(), 16, slot.length);
            consumed += length;
            offset = slot.offset + length;
            Step progress{Step::Kind::progress, t};
            progress.fraction = static_cast<double>(consumed) / static_cast<double>(std::max<int64_t>(plugin.eSize, 1));
            add(progress);
            publish();
        }
        // A file cut short, or one with bytes the stream never reached, means the package
        // is damaged. Empty files past the last byte are created.
        if (m_open)
            throw damaged(Kind::streamTruncated, plugin, *m_files[m_next]);
        for (; m_next < m_files.size(); ++m_next) {
            const ZFCEntry& entry = *m_files[m_next];
            if (entry.storedSize() > 0 || entry.isCompressed())
                throw damaged(Kind::streamTruncated, plugin, entry);
            add({Step::Kind::open, 0, &entry});
            add({Step::Kind::close});
        }
        add({Step::Kind::end, t});
        publish();
    }

    // Cuts the chunk's plaintext, bytes [at, size) of `chunk`, into the files' steps.
    void cut(uint8_t* chunk, std::size_t at, std::size_t size)
    {
        while (at < size) {
            if (!m_open) {
                if (m_next >= m_files.size())
                    throw failure(Kind::plaintextOverrun);
                openNext(chunk, at, size);
            }
            const auto n = static_cast<std::size_t>(std::min<int64_t>(m_remaining, static_cast<int64_t>(size - at)));
            if (n >= 1) {
                if (!m_openAhead)
                    add({Step::Kind::data, 0, nullptr, nullptr, 0, at, n});
                m_remaining -= static_cast<int64_t>(n);
                at += n;
            }
            if (m_remaining < 1) {
                add({Step::Kind::close});
                m_open = false;
                ++m_next;
            }
        }
    }

    void openNext(uint8_t* chunk, std::size_t at, std::size_t size)
    {
        const ZFCEntry& entry = *m_files[m_next];
        m_remaining = entry.storedSize();
        m_open = true;
        m_openAhead = false;
        Step open{Step::Kind::open, 0, &entry};
        const int64_t limit = entry.size.value_or(-1);
        if (m_ahead && entry.isCompressed() && limit >= 0 && limit <= kAheadFileLimit && m_remaining >= 1 &&
            m_remaining <= static_cast<int64_t>(size - at) && reserve(limit)) {
            if (m_run && (m_run->files.size() >= kAheadRunFiles || m_run->storedBytes >= kAheadRunBytes)) {
                Slot& here = current();
                std::lock_guard lock(m_mutex);
                here.runs.push_back(m_run.get());
                m_runs.push_back(std::move(m_run));
            }
            if (!m_run)
                m_run = std::make_unique<AheadRun>();
            m_run->files.push_back({chunk + at, static_cast<std::size_t>(m_remaining), limit});
            m_run->storedBytes += static_cast<std::size_t>(m_remaining);
            m_run->reserved += limit;
            open.run = m_run.get();
            open.inRun = m_run->files.size() - 1;
            m_openAhead = true;
        }
        add(open);
    }

    // Counts `bytes` more inflated bytes as held; false when the budget cannot take them
    // (the writer then inflates the file itself).
    bool reserve(int64_t bytes)
    {
        std::lock_guard lock(m_mutex);
        if (m_held + bytes > kAheadBudget)
            return false;
        m_held += bytes;
        return true;
    }

    // ---- the workers ----

    void work()
    {
        std::unique_ptr<ZFCInflater> inflater;
        for (;;) {
            Task task;
            {
                std::unique_lock lock(m_mutex);
                ++m_idle;
                m_work.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
                --m_idle;
                if (m_stopping)
                    return;
                task = m_queue.front();
                m_queue.pop_front();
            }
            if (task.slot)
                open(*task.slot);
            else
                inflate(*task.run, inflater);
        }
    }

    // Reads and decrypts the slot's chunk, then queues its runs.
    void open(Slot& slot)
    {
        std::exception_ptr error;
        try {
            if (m_file.readAt(slot.chunk.get(), slot.length, slot.offset) != slot.length)
                throw ZFCPackageError::failure(Kind::chunkBodyTruncated, slot.offset);
            kit::cryptInPlace(slot.chunk.get() + 16, slot.length - 16, slot.chunk.get());
        } catch (...) {
            error = std::current_exception();
        }
        bool wakeWriter = false;
        std::size_t queued = 0;
        {
            std::lock_guard lock(m_mutex);
            slot.error = error;
            slot.ready = true;
            if (!error) {
                for (AheadRun* run : slot.runs)
                    m_queue.push_back({nullptr, run});
                queued = slot.runs.size();
            }
            wakeWriter = m_writerWaits && &slot == &this->slot(m_taken);
            queued = std::min<std::size_t>(queued, static_cast<std::size_t>(m_idle));
        }
        if (wakeWriter)
            m_writer.notify_one();
        for (std::size_t i = 0; i < queued; ++i)
            m_work.notify_one();
    }

    void inflate(AheadRun& run, std::unique_ptr<ZFCInflater>& inflater)
    {
        run.output.reserve(static_cast<std::size_t>(run.reserved));
        for (AheadRun::File& file : run.files) {
            file.offset = run.output.size();
            const auto sink = [&run](const uint8_t* bytes, std::size_t count) {
                run.output.insert(run.output.end(), bytes, bytes + count);
            };
            try {
                file.started = inflater ? inflater->reset(sink, file.limit) : (inflater = ZFCInflater::create(sink, file.limit)) != nullptr;
                if (file.started) {
                    inflater->append({file.stored, file.length});
                    file.ended = inflater->complete();
                }
            } catch (...) {
                file.error = std::current_exception();
            }
            file.produced = run.output.size() - file.offset;
        }
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            run.done = true;
            wake = m_writerWaitsFor == &run;
        }
        if (wake)
            m_writer.notify_one();
    }

    ZFCFileHandle& m_file;
    const std::vector<Target>& m_targets;
    std::vector<Slot> m_slots;
    const bool m_ahead;
    std::vector<std::thread> m_threads;

    std::mutex m_mutex;
    std::condition_variable m_writer;
    std::condition_variable m_room;
    std::condition_variable m_work;
    std::size_t m_published = 0;
    std::size_t m_taken = 0;
    std::deque<std::unique_ptr<AheadRun>> m_runs;  // oldest first
    std::deque<Task> m_queue;
    int64_t m_held = 0;
    int m_idle = 0;
    bool m_writerWaits = false;
    bool m_splitterWaits = false;
    AheadRun* m_writerWaitsFor = nullptr;
    bool m_stopping = false;

    // The splitter's own state.
    Slot* m_current = nullptr;
    std::unique_ptr<AheadRun> m_run;
    std::vector<const ZFCEntry*> m_files;
    std::size_t m_next = 0;
    bool m_open = false;
    bool m_openAhead = false;
    int64_t m_remaining = 0;
};

// Carries out the pipeline's steps on the calling thread: folders, files, links. Every
// folder between the destination and an entry is checked with lstat, so nothing is written
// through a link.
class Writer
{
public:
    Writer(Pipeline& pipeline, const std::vector<Target>& targets, const ZFCProgressCallback& progress)
        : m_pipeline(pipeline), m_targets(targets), m_progress(progress)
    {
    }

    void run()
    {
        try {
            std::size_t ended = 0;
            while (ended < m_targets.size()) {
                Slot& slot = m_pipeline.next();
                for (const Step& step : slot.steps) {
                    // A chunk that could not be read ends the extraction before its files.
                    if (slot.error && step.kind != Step::Kind::begin)
                        std::rethrow_exception(slot.error);
                    if (step.kind == Step::Kind::end)
                        ++ended;
                    if (!perform(step, slot))
                        return;
                }
                m_pipeline.release();
            }
        } catch (...) {
            closeCurrent();
            throw;
        }
    }

private:
    // False when the target's folder has appeared since the caller looked and may not be
    // replaced: then nothing more is done.
    bool perform(const Step& step, const Slot& slot)
    {
        switch (step.kind) {
        case Step::Kind::begin: return begin(m_targets[step.target]);
        case Step::Kind::open: openFile(*step.entry, step.run, step.inRun); break;
        case Step::Kind::data:
            if (!m_inflating)
                m_out.write(slot.chunk.get() + step.offset, step.length);
            else if (m_inflater->inited() && !m_inflater->reachedEnd())
                inflate({slot.chunk.get() + step.offset, step.length});
            break;
        case Step::Kind::close: completeCurrent(); break;
        case Step::Kind::progress:
            if (m_progress)
                m_progress({ZFCProgress::Stage::decrypting, m_targets[step.target].plugin->name, step.fraction});
            break;
        case Step::Kind::end:
            makeLinks(*m_targets[step.target].plugin);
            if (m_progress)
                m_progress({ZFCProgress::Stage::extracting, m_targets[step.target].plugin->name, 1.0});
            break;
        case Step::Kind::fail: std::rethrow_exception(step.error);
        }
        return true;
    }

    bool begin(const Target& target)
    {
        m_plugin = target.plugin;
        m_dest = destinationOf(target);
        struct stat st {};
        if (::lstat(m_dest.c_str(), &st) == 0) {
            if (!target.overwrite)
                return false;
            fs::remove_all(m_dest);
        }
        fs::create_directories(m_dest);
        m_verified.clear();
        m_verified.insert(m_dest.string());
        for (const ZFCEntry& entry : target.plugin->items) {
            if (entry.type != "directory")
                continue;
            const auto parts = componentsInside(m_dest, entry.path);
            ensureFolders(entry.path, parts, parts.size(), true);
        }
        return true;
    }

    void makeLinks(const ZFCPlugin& plugin)
    {
        // Links may have replaced folders checked earlier: check afresh from here on.
        m_verified.clear();
        m_verified.insert(m_dest.string());
        for (const ZFCEntry& entry : plugin.items) {
            if (entry.type != "link")
                continue;
            const auto parts = componentsInside(m_dest, entry.path);
            const fs::path path = ensureFolders(entry.path, parts, parts.size() - 1, false);
            const auto target = entry.link ? ZFCPackageReader::safeLinkTarget(*entry.link, path, m_dest) : std::nullopt;
            if (!target) {
                removeExisting(path);
                continue;
            }
            // Created first; whatever is in the way is removed only when it is there.
            if (::symlink(target->c_str(), path.c_str()) != 0) {
                if (errno != EEXIST)
                    kit::throwErrno("cannot create link", path);
                removeExisting(path);
                if (::symlink(target->c_str(), path.c_str()) != 0)
                    kit::throwErrno("cannot create link", path);
            }
        }
    }

    // Makes sure the first `count` components are real folders (creating missing ones);
    // returns dest + all components. A link on the way is refused.
    fs::path ensureFolders(const std::string& rel, const std::vector<std::string>& parts, std::size_t count,
                           bool useCache)
    {
        fs::path path = m_dest;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            path /= parts[i];
            if (i >= count)
                continue;
            if (useCache && m_verified.count(path.string()))
                continue;
            // Made first; only what is already there needs a look (a link must not lead on).
            if (::mkdir(path.c_str(), 0777) != 0) {
                if (errno != EEXIST)
                    kit::throwErrno("cannot create directory", path);
                struct stat st {};
                if (::lstat(path.c_str(), &st) != 0)
                    kit::throwErrno("cannot stat", path);
                if (S_ISLNK(st.st_mode))
                    throw failure(Kind::pathEscapes, rel);
                if (!S_ISDIR(st.st_mode)) {
                    errno = ENOTDIR;
                    kit::throwErrno("cannot create directory", path);
                }
            }
            m_verified.insert(path.string());
        }
        return path;
    }

    void removeExisting(const fs::path& path)
    {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode)) {
            // Folders below it leave the cache with it.
            const std::string prefix = path.string() + "/";
            for (auto it = m_verified.lower_bound(prefix); it != m_verified.end() && it->compare(0, prefix.size(), prefix) == 0;)
                it = m_verified.erase(it);
            m_verified.erase(path.string());
        }
        fs::remove_all(path);
    }

    void openFile(const ZFCEntry& entry, AheadRun* run, std::size_t inRun)
    {
        const auto parts = componentsInside(m_dest, entry.path);
        m_path = ensureFolders(entry.path, parts, parts.size() - 1, true);
        // Opened first; an item in the way (a repeated path) is removed only then.
        constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::open(m_path.c_str(), flags, 0666);
        if (fd < 0 && errno == EEXIST) {
            removeExisting(m_path);
            fd = ::open(m_path.c_str(), flags, 0666);
        }
        if (fd < 0)
            throw failure(Kind::fileCreateFailed, m_path.string());
        m_out = ZFCFileHandle::adopt(fd, m_path);
        m_entry = &entry;
        m_run = run;
        m_inRun = inRun;
        if (!run && entry.isCompressed()) {
            // One inflater for all the files, reset for each.
            const int64_t limit = entry.size.value_or(-1);
            if (m_inflater ? !m_inflater->reset(m_out, limit) : !(m_inflater = ZFCInflater::create(m_out, limit)))
                throw failure(Kind::inflaterInitFailed, m_path.string());
            m_inflating = true;
        }
    }

    void completeCurrent()
    {
        if (m_run) {
            AheadRun* const run = m_run;
            m_run = nullptr;
            const AheadRun::File& file = m_pipeline.await(run).files[m_inRun];
            if (!file.started)
                throw failure(Kind::inflaterInitFailed, m_path.string());
            if (file.produced > 0)
                m_out.write(run->output.data() + file.offset, file.produced);
            if (file.error)
                rethrowNamed(file.error);
            if (!file.ended)
                throw damaged(Kind::streamTruncated, *m_plugin, *m_entry);
            if (++run->taken == run->files.size())
                m_pipeline.finished(run);
        } else if (m_inflating && m_inflater->inited()) {
            const bool complete = m_inflater->complete();
            m_inflater->end();
            if (!complete)
                throw damaged(Kind::streamTruncated, *m_plugin, *m_entry);
        }
        closeCurrent();
    }

    void inflate(std::span<const uint8_t> bytes)
    {
        try {
            m_inflater->append(bytes);
        } catch (...) {
            rethrowNamed(std::current_exception());
        }
    }

    // An inflater that wrote past its file's size says so without naming the file.
    [[noreturn]] void rethrowNamed(const std::exception_ptr& error)
    {
        try {
            std::rethrow_exception(error);
        } catch (const ZFCPackageError& e) {
            if (e.kind() == Kind::plaintextOverrun && e.subject().empty())
                throw damaged(Kind::plaintextOverrun, *m_plugin, *m_entry);
            throw;
        }
    }

    void closeCurrent() noexcept
    {
        if (m_inflating)
            m_inflater->end();
        m_inflating = false;
        m_run = nullptr;
        m_out.close();
    }

    Pipeline& m_pipeline;
    const std::vector<Target>& m_targets;
    const ZFCProgressCallback& m_progress;
    const ZFCPlugin* m_plugin = nullptr;
    const ZFCEntry* m_entry = nullptr;
    fs::path m_dest;
    std::set<std::string> m_verified;
    fs::path m_path;
    ZFCFileHandle m_out;
    AheadRun* m_run = nullptr;
    std::size_t m_inRun = 0;
    std::unique_ptr<ZFCInflater> m_inflater;
    bool m_inflating = false;
};

void extractTargets(ZFCFileHandle& file, const std::vector<Target>& targets, const ZFCProgressCallback& progress)
{
    if (targets.empty())
        return;
    // About one worker per chunk or run of small files to come, one core being left to the
    // writer and the splitter.
    int64_t chunks = 0;
    int64_t aheadBytes = 0;
    for (const Target& target : targets) {
        chunks += target.plugin->eSize / static_cast<int64_t>(kit::kPieceSize) + 1;
        for (const ZFCEntry& entry : target.plugin->items) {
            if (entry.isCompressed() && entry.size && *entry.size <= kAheadFileLimit &&
                entry.storedSize() <= static_cast<int64_t>(kit::kPieceSize))
                aheadBytes += entry.storedSize();
        }
    }
    const int64_t tasks = chunks + aheadBytes / static_cast<int64_t>(kAheadRunBytes);
    const auto workers = static_cast<unsigned>(std::clamp<int64_t>(tasks, 1, std::max(1u, kit::coreCount() - 1)));
    Pipeline pipeline(file, targets, workers, aheadBytes > 0);
    Writer(pipeline, targets, progress).run();
}

// The sealed metadata block as text: read and decrypted in 1 MiB pieces, every token's
// length bounded. A read failure or an over-long token ends the text early, which the
// parser then refuses.
class SealedText : public std::streambuf
{
public:
    SealedText(ZFCFileHandle& file, int64_t offset, int64_t length, const uint8_t* iv)
        : m_file(file), m_offset(offset), m_remaining(length), m_ctr(ZFCPackageReader::legacyKey().data(), iv),
          m_capacity(static_cast<std::size_t>(std::min<int64_t>(length, kit::kPieceSize))), m_buffer(new char[m_capacity])
    {
    }

protected:
    int_type underflow() override
    {
        if (gptr() < egptr())
            return traits_type::to_int_type(*gptr());
        if (m_remaining <= 0)
            return traits_type::eof();
        const auto n = static_cast<std::size_t>(std::min<int64_t>(m_remaining, static_cast<int64_t>(m_capacity)));
        std::size_t got = 0;
        try {
            got = m_file.readAt(m_buffer.get(), n, m_offset);
        } catch (const fs::filesystem_error&) {
        }
        if (got != n) {
            m_remaining = 0;
            return traits_type::eof();
        }
        m_ctr.apply(reinterpret_cast<uint8_t*>(m_buffer.get()), n);
        m_offset += static_cast<int64_t>(n);
        m_remaining -= static_cast<int64_t>(n);
        if (!m_guard.scan(m_buffer.get(), n)) {
            m_remaining = 0;
            return traits_type::eof();
        }
        setg(m_buffer.get(), m_buffer.get(), m_buffer.get() + n);
        return traits_type::to_int_type(*gptr());
    }

private:
    ZFCFileHandle& m_file;
    int64_t m_offset;
    int64_t m_remaining;
    kit::CtrStream m_ctr;
    kit::TokenGuard m_guard;
    std::size_t m_capacity;
    std::unique_ptr<char[]> m_buffer;
};

} // namespace

std::span<const uint8_t, 32> ZFCPackageReader::legacyKey()
{
    static const auto* key = reinterpret_cast<const uint8_t*>(kKeyText);
    return std::span<const uint8_t, 32>(key, 32);
}

std::vector<uint8_t> ZFCPackageReader::decryptBuffer(std::span<const uint8_t> sealed)
{
    if (sealed.size() < static_cast<std::size_t>(kit::kMinSealedLength))
        throw ZFCPackageError::metadataCorrupted();
    std::vector<uint8_t> plain(sealed.begin() + 16, sealed.end());
    kit::cryptInPlace(plain.data(), plain.size(), sealed.data());
    return plain;
}

namespace {

// Checks each record as it is parsed (no negative or overflowing offset or size) and makes
// the plug-in's position a file offset before handing the record on.
class CheckedRecords : public kit::MetadataVisitor
{
public:
    CheckedRecords(int64_t dataOffset, kit::MetadataVisitor& next) : m_dataOffset(dataOffset), m_next(next) {}

    bool entry(ZFCEntry&& entry) override
    {
        // A compressed file's size bounds its inflating and is checked at its end.
        if (entry.type == "file" && entry.isCompressed() && !entry.size)
            return false;
        return nonNegative(entry.size) && nonNegative(entry.position) && nonNegative(entry.stored) &&
               m_next.entry(std::move(entry));
    }
    bool plugin(ZFCPlugin&& plugin) override
    {
        int64_t absolute = 0;
        int64_t end = 0;
        if (plugin.position < 0 || plugin.eSize < 0 || plugin.size < 0 || !checkedAdd(plugin.position, m_dataOffset, absolute) ||
            !checkedAdd(absolute, plugin.eSize, end))
            return false;
        plugin.position = absolute;
        return m_next.plugin(std::move(plugin));
    }

private:
    int64_t m_dataOffset;
    kit::MetadataVisitor& m_next;
};

// Reads the header of the package in `file` and parses its sealed metadata into `visitor`,
// decrypted piece by piece, so memory follows what the visitor keeps, not the block.
// Returns the offset of the data area.
int64_t readMetadata(ZFCFileHandle& file, kit::MetadataVisitor& visitor)
{
    uint8_t header[kit::kHeaderSize];
    std::size_t got = 0;
    int64_t fileSize = 0;
    try {
        fileSize = file.size();
        got = file.readAt(header, sizeof header, 0);
    } catch (const fs::filesystem_error&) {
        throw ZFCPackageError::fileTooSmall();
    }
    if (got < sizeof header)
        throw ZFCPackageError::fileTooSmall();

    const int32_t m = kit::readLengthHeader(header);
    // The length is checked against the bytes really there before anything is allocated.
    if (m < 1 || m > fileSize - static_cast<int64_t>(kit::kHeaderSize))
        throw ZFCPackageError::metadataCorrupted();
    if (m < kit::kMinSealedLength)
        throw ZFCPackageError::metadataCorrupted();
    uint8_t iv[16];
    try {
        got = file.readAt(iv, sizeof iv, kit::kHeaderSize);
    } catch (const fs::filesystem_error&) {
        throw ZFCPackageError::metadataCorrupted();
    }
    if (got < sizeof iv)
        throw ZFCPackageError::metadataCorrupted();
    const int64_t dataOffset = static_cast<int64_t>(kit::kHeaderSize) + m;
    SealedText text(file, static_cast<int64_t>(kit::kHeaderSize) + 16, m - 16, iv);
    std::istream in(&text);
    CheckedRecords checked(dataOffset, visitor);
    kit::decodeMetadata(in, checked);
    return dataOffset;
}

// Hands the records to two callbacks.
class Forward : public kit::MetadataVisitor
{
public:
    Forward(const std::function<void(const ZFCEntry&)>& entry, const std::function<void(const ZFCPlugin&)>& plugin)
        : m_entry(entry), m_plugin(plugin)
    {
    }
    bool entry(ZFCEntry&& entry) override
    {
        m_entry(entry);
        return true;
    }
    bool plugin(ZFCPlugin&& plugin) override
    {
        m_plugin(plugin);
        return true;
    }

private:
    const std::function<void(const ZFCEntry&)>& m_entry;
    const std::function<void(const ZFCPlugin&)>& m_plugin;
};

} // namespace

ZFCPackageReader::ZFCPackageReader(const fs::path& url) : m_file(ZFCFileHandle::openForReading(url))
{
    kit::MetadataCollector collector;
    m_dataOffset = readMetadata(m_file, collector);
    m_plugins = std::move(collector.plugins);
}

void ZFCPackageReader::visitMetadata(const fs::path& url, const std::function<void(const ZFCEntry&)>& entry,
                                     const std::function<void(const ZFCPlugin&)>& plugin)
{
    ZFCFileHandle file = ZFCFileHandle::openForReading(url);
    Forward forward(entry, plugin);
    readMetadata(file, forward);
}

std::vector<ZFCPlugin> ZFCPackageReader::readPlugins(const fs::path& url)
{
    return ZFCPackageReader(url).plugins();
}

std::string ZFCPackageReader::safeName(std::string_view name)
{
    std::string s;
    s.reserve(name.size());
    for (const char c : name) {
        if (c == '\0')
            continue;
        s.push_back(c == '/' || c == '\\' ? '_' : c);
    }
    s = kit::trimWhitespace(s);
    if (s == "." || s == "..")
        return {};
    return s;
}

fs::path ZFCPackageReader::safeChild(const fs::path& root, std::string_view rel)
{
    fs::path child = root;
    for (const auto& part : componentsInside(root, rel))
        child /= part;
    return child;
}

std::optional<std::string> ZFCPackageReader::safeLinkTarget(std::string_view link, const fs::path& linkURL,
                                                            const fs::path& root)
{
    std::string t;
    for (const char c : link) {
        if (c != '\0')
            t.push_back(c);
    }
    if (t.empty() || t.front() == '/' || t.front() == '~')
        return std::nullopt;
    // "a/../.." is refused even when it looks inside: "a" may itself be a link by then.
    bool sawNormal = false;
    std::size_t start = 0;
    while (start <= t.size()) {
        const std::size_t slash = std::min(t.find('/', start), t.size());
        const std::string_view part(t.data() + start, slash - start);
        if (part == "..") {
            if (sawNormal)
                return std::nullopt;
        } else if (!part.empty() && part != ".") {
            sawNormal = true;
        }
        start = slash + 1;
    }
    if (!isInside(linkURL.parent_path() / t, root))
        return std::nullopt;
    return t;
}

void ZFCPackageReader::extract(const ZFCPlugin& plugin, const fs::path& root, const std::optional<std::string>& name,
                               bool overwrite, const ZFCProgressCallback& progress)
{
    const Target target{&plugin, root, name, overwrite};
    const fs::path dest = destinationOf(target);
    streamEnd(plugin);
    struct stat st {};
    if (!overwrite && ::lstat(dest.c_str(), &st) == 0)
        return;
    extractTargets(m_file, {target}, progress);
}

void ZFCPackageReader::extractAll(const fs::path& root, const ZFCProgressCallback& progress)
{
    std::vector<Target> targets;
    for (const ZFCPlugin& plugin : m_plugins) {
        const auto type = plugin.pluginType();
        targets.push_back({&plugin, root / std::string(type ? type->directoryName() : kOtherCategoryDirectory), std::nullopt, true});
    }
    extractTargets(m_file, targets, progress);
}
