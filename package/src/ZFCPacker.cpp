#include "LoomworkKit/ZFCPacker.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "KitInternal.h"
#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCDeflater.h"
#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCodec.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kMinCompressed = 513;
constexpr int64_t kMaxCompressed = 512LL * 1024 * 1024;
constexpr int64_t kCompressWithoutSample = 8LL * 1024 * 1024;
constexpr int64_t kProgressStep = 16LL * 1024 * 1024;
constexpr double kCompressibleFloor = 0.94;
// A file's head deflated fast: when it does not shrink at all, neither would the file.
constexpr std::size_t kSampleBytes = 64 * 1024;
constexpr std::size_t kReadPiece = 256 * 1024;
// Stored bytes the workers may hold for files the writer has not reached yet, and how far
// ahead of the writer they may work (each job may hold an open file).
constexpr int64_t kMemoryBudget = 24LL * 1024 * 1024;
constexpr std::size_t kWindow = 64;

void report(const ZFCProgressCallback& progress, ZFCProgress::Stage stage, const std::string& subject, double fraction)
{
    if (progress)
        progress({stage, subject, fraction});
}

// Removes a path when the scope is left, unless released.
class RemoveOnExit
{
public:
    explicit RemoveOnExit(fs::path path) : m_path(std::move(path)) {}
    ~RemoveOnExit()
    {
        if (!m_path.empty()) {
            std::error_code ec;
            fs::remove_all(m_path, ec);
        }
    }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;
    void release() { m_path.clear(); }

private:
    fs::path m_path;
};

bool sampleLooksCompressible(ZFCFileHandle& file, std::vector<uint8_t>& buffer)
{
    try {
        buffer.resize(kit::kPieceSize);
        const std::size_t n = file.readAt(buffer.data(), kit::kPieceSize, 0);
        if (n == 0)
            return false;
        return ZFCodec::isWorthCompressing({buffer.data(), n}, kCompressibleFloor);
    } catch (const std::exception&) {
        return false;
    }
}

// Raw deflate of a small sample at level 1, reused across files.
class SampleProbe
{
public:
    SampleProbe() : m_out(compressBound(kSampleBytes) + 64)
    {
        m_ok = deflateInit2(&m_strm, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~SampleProbe()
    {
        if (m_ok)
            deflateEnd(&m_strm);
    }
    SampleProbe(const SampleProbe&) = delete;
    SampleProbe& operator=(const SampleProbe&) = delete;

    // True when the sample deflates to fewer bytes than it has (or cannot be judged).
    bool shrinks(const uint8_t* data, std::size_t length)
    {
        if (!m_ok || deflateReset(&m_strm) != Z_OK)
            return true;
        m_strm.next_in = const_cast<Bytef*>(data);
        m_strm.avail_in = static_cast<uInt>(length);
        m_strm.next_out = m_out.data();
        m_strm.avail_out = static_cast<uInt>(m_out.size());
        if (deflate(&m_strm, Z_FINISH) != Z_STREAM_END)
            return true;
        return m_strm.total_out < length;
    }

private:
    z_stream m_strm{};
    std::vector<uint8_t> m_out;
    bool m_ok = false;
};

// What a worker made of one file, handed to the writer in scan order.
struct Outcome
{
    enum class How {
        empty,           // not a regular file: stored empty, never read
        memory,          // `bytes` are the file, stored raw
        compressed,      // `bytes` are its raw deflate stream
        copy,            // stored raw, copied by the writer from `file`
        compressInline,  // a large file that samples well: deflated by the writer from `file`
    };
    How how = How::empty;
    int64_t size = 0;  // bytes read, for memory and compressed
    std::vector<uint8_t> bytes;
    ZFCFileHandle file;
    std::exception_ptr error;
    int64_t reserved = 0;
    bool done = false;
};

// Thrown inside a worker when a deflate stream reaches the file's size: it cannot pay off.
struct NotSmaller
{
};

// Deflates files on worker threads, at most kWindow files ahead of the writer and within
// kMemoryBudget of held bytes (the file the writer waits for is never held back).
class DeflatePool
{
public:
    DeflatePool(unsigned threads, const ZFCPacker::PackOptions& options) : m_options(options), m_slots(kWindow)
    {
        for (unsigned i = 0; i < threads; ++i)
            m_threads.emplace_back([this] { run(); });
    }
    ~DeflatePool()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_work.notify_all();
        m_memory.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }
    DeflatePool(const DeflatePool&) = delete;
    DeflatePool& operator=(const DeflatePool&) = delete;

    bool hasRoom() const
    {
        std::lock_guard lock(m_mutex);
        return m_submitted - m_head < static_cast<int64_t>(kWindow);
    }
    // Call only when hasRoom().
    void submit(fs::path path)
    {
        {
            std::lock_guard lock(m_mutex);
            Slot& slot = m_slots[static_cast<std::size_t>(m_submitted % kWindow)];
            slot.path = std::move(path);
            slot.outcome = Outcome{};
            ++m_submitted;
        }
        m_work.notify_one();
    }
    int64_t submitted() const
    {
        std::lock_guard lock(m_mutex);
        return m_submitted;
    }
    // The outcome of job `index` (the next one the writer takes), once it is done.
    Outcome& wait(int64_t index)
    {
        std::unique_lock lock(m_mutex);
        Slot& slot = m_slots[static_cast<std::size_t>(index % kWindow)];
        m_done.wait(lock, [&] { return slot.outcome.done; });
        return slot.outcome;
    }
    void release(int64_t index)
    {
        {
            std::lock_guard lock(m_mutex);
            Outcome& outcome = m_slots[static_cast<std::size_t>(index % kWindow)].outcome;
            m_used -= outcome.reserved;
            outcome = Outcome{};
            m_head = index + 1;
        }
        m_memory.notify_all();
    }

private:
    struct Slot
    {
        fs::path path;
        Outcome outcome;
    };

    // Per-thread tools, made once and reused for every file.
    struct Tools
    {
        std::unique_ptr<ZFCDeflater> deflater;
        bool deflaterTried = false;
        SampleProbe probe;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadPiece);
        std::vector<uint8_t> sample;
    };

    void run()
    {
        Tools tools;
        for (;;) {
            int64_t index = 0;
            fs::path path;
            {
                std::unique_lock lock(m_mutex);
                m_work.wait(lock, [&] { return m_stopping || m_claimed < m_submitted; });
                if (m_stopping)
                    return;
                index = m_claimed++;
                path = m_slots[static_cast<std::size_t>(index % kWindow)].path;
            }
            Outcome outcome;
            try {
                process(index, path, outcome, tools);
            } catch (...) {
                outcome.error = std::current_exception();
            }
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping)
                    return;
                outcome.done = true;
                Outcome& slot = m_slots[static_cast<std::size_t>(index % kWindow)].outcome;
                outcome.reserved += slot.reserved;
                slot = std::move(outcome);
            }
            m_done.notify_all();
        }
    }

    // Counts `count` more held bytes against the budget, waiting while it is spent unless
    // the writer waits for this very job.
    void reserve(int64_t index, int64_t count)
    {
        std::unique_lock lock(m_mutex);
        m_memory.wait(lock, [&] { return m_stopping || index == m_head || m_used + count <= kMemoryBudget; });
        m_used += count;
        m_slots[static_cast<std::size_t>(index % kWindow)].outcome.reserved += count;
    }

    void storeRaw(int64_t index, Outcome& outcome, ZFCFileHandle& in, int64_t size, std::vector<uint8_t>& buffer)
    {
        if (size <= static_cast<int64_t>(kSampleBytes)) {
            // Read whole here, unless it has grown since.
            const std::size_t n = in.readAt(buffer.data(), kSampleBytes + 1, 0);
            if (n <= kSampleBytes) {
                reserve(index, static_cast<int64_t>(n));
                outcome.bytes.assign(buffer.data(), buffer.data() + n);
                outcome.how = Outcome::How::memory;
                outcome.size = static_cast<int64_t>(n);
                return;
            }
        }
        outcome.how = Outcome::How::copy;
        outcome.file = std::move(in);
    }

    void process(int64_t index, const fs::path& path, Outcome& outcome, Tools& tools)
    {
        // Anything but a regular file is stored empty without being opened (a FIFO would
        // block, a device could be endless).
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            kit::throwErrno("cannot stat", path);
        if (!S_ISREG(st.st_mode))
            return;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            kit::throwErrno("cannot open", path);
        ZFCFileHandle in = ZFCFileHandle::adopt(fd, path);
        if (::fstat(fd, &st) != 0)
            kit::throwErrno("cannot stat", path);
        if (!S_ISREG(st.st_mode))
            return;  // swapped for something else since the lstat
        const int64_t size = st.st_size;

        if (!m_options.compressEnabled || size < kMinCompressed || size > kMaxCompressed)
            return storeRaw(index, outcome, in, size, tools.buffer);
        if (size > kCompressWithoutSample) {
            if (!sampleLooksCompressible(in, tools.sample))
                return storeRaw(index, outcome, in, size, tools.buffer);
            outcome.how = Outcome::How::compressInline;
            outcome.file = std::move(in);
            return;
        }

        std::vector<uint8_t>& buffer = tools.buffer;
        std::size_t head = in.readAt(buffer.data(), kSampleBytes, 0);
        if (size > static_cast<int64_t>(kSampleBytes) && !tools.probe.shrinks(buffer.data(), head))
            return storeRaw(index, outcome, in, size, tools.buffer);

        if (!tools.deflaterTried) {
            tools.deflaterTried = true;
            tools.deflater = ZFCDeflater::create(m_options.compressLevel, 9, ZFCDeflater::Sink());
        }
        if (!tools.deflater)
            return storeRaw(index, outcome, in, size, tools.buffer);
        std::vector<uint8_t>& out = outcome.bytes;
        const bool started = tools.deflater->reset([&](const uint8_t* bytes, std::size_t count) {
            if (static_cast<int64_t>(out.size() + count) >= size)
                throw NotSmaller{};
            reserve(index, static_cast<int64_t>(count));
            out.insert(out.end(), bytes, bytes + count);
        });
        if (!started)
            return storeRaw(index, outcome, in, size, tools.buffer);
        int64_t bytesRead = 0;
        try {
            std::size_t n = head;
            for (;;) {
                if (n == 0)
                    break;
                tools.deflater->append({buffer.data(), n});
                bytesRead += static_cast<int64_t>(n);
                n = in.readAt(buffer.data(), kReadPiece, bytesRead);
            }
            tools.deflater->finish();
        } catch (const NotSmaller&) {
            out = {};
            return storeRaw(index, outcome, in, size, tools.buffer);
        }
        if (tools.deflater->written() < bytesRead) {
            outcome.how = Outcome::How::compressed;
            outcome.size = bytesRead;
            return;
        }
        out = {};
        storeRaw(index, outcome, in, size, tools.buffer);
    }

    const ZFCPacker::PackOptions m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::condition_variable m_memory;
    std::vector<Slot> m_slots;
    std::vector<std::thread> m_threads;
    int64_t m_submitted = 0;
    int64_t m_claimed = 0;
    int64_t m_head = 0;
    int64_t m_used = 0;
    bool m_stopping = false;
};

// Cuts the plug-in streams into 1 MiB pieces as they are produced, seals each piece and
// writes it behind its length header.
class Sealer
{
public:
    explicit Sealer(ZFCFileHandle& out) : m_out(out), m_chunk(new uint8_t[kit::kHeaderSize + 16 + kit::kPieceSize]) {}

    void append(const uint8_t* bytes, std::size_t length)
    {
        while (length > 0) {
            const std::size_t take = std::min(length, kit::kPieceSize - m_fill);
            std::memcpy(body() + m_fill, bytes, take);
            m_fill += take;
            bytes += take;
            length -= take;
            if (m_fill == kit::kPieceSize)
                seal();
        }
    }
    // Copies the rest of `in` straight into the pieces; returns the bytes copied.
    int64_t copyFrom(ZFCFileHandle& in)
    {
        int64_t copied = 0;
        for (;;) {
            const std::size_t n = in.read(body() + m_fill, kit::kPieceSize - m_fill);
            if (n == 0)
                return copied;
            m_fill += n;
            copied += static_cast<int64_t>(n);
            if (m_fill == kit::kPieceSize)
                seal();
        }
    }
    // Seals what is left of the plug-in's stream; returns its eSize.
    int64_t endPlugin()
    {
        if (m_fill > 0)
            seal();
        const int64_t eSize = m_eSize;
        m_eSize = 0;
        return eSize;
    }

    // Where the stream stands, to go back there when a deflate attempt does not pay off.
    struct Mark
    {
        int64_t written;
        int64_t eSize;
        std::vector<uint8_t> pending;
    };
    Mark mark() const { return {m_written, m_eSize, std::vector<uint8_t>(body(), body() + m_fill)}; }
    void rollback(const Mark& mark)
    {
        if (m_written != mark.written) {
            m_out.truncate(mark.written);
            m_out.seek(mark.written);
        }
        m_written = mark.written;
        m_eSize = mark.eSize;
        m_fill = mark.pending.size();
        std::copy(mark.pending.begin(), mark.pending.end(), body());
    }

private:
    uint8_t* body() const { return m_chunk.get() + kit::kHeaderSize + 16; }

    void seal()
    {
        uint8_t* const iv = m_chunk.get() + kit::kHeaderSize;
        kit::randomBytes(iv, 16);
        kit::cryptInPlace(body(), m_fill, iv);
        const int64_t sealedLength = 16 + static_cast<int64_t>(m_fill);
        kit::putLengthHeader(m_chunk.get(), sealedLength);
        m_out.write(m_chunk.get(), kit::kHeaderSize + static_cast<std::size_t>(sealedLength));
        m_eSize += static_cast<int64_t>(kit::kHeaderSize) + sealedLength;
        m_written += static_cast<int64_t>(kit::kHeaderSize) + sealedLength;
        m_fill = 0;
    }

    ZFCFileHandle& m_out;
    std::unique_ptr<uint8_t[]> m_chunk;  // [header][IV][piece]
    std::size_t m_fill = 0;
    int64_t m_eSize = 0;
    int64_t m_written = 0;
};

void scanInto(const fs::path& dir, const std::string& rel, std::vector<ZFCPacker::ScannedEntry>& out)
{
    std::vector<std::string> names;
    for (const auto& child : fs::directory_iterator(dir))
        names.push_back(child.path().filename().string());
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const fs::path child = dir / name;
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        const bool haveAttributes = ::lstat(child.c_str(), &st) == 0;
        if (haveAttributes && S_ISLNK(st.st_mode)) {
            std::error_code ec;
            const fs::path target = fs::read_symlink(child, ec);
            out.push_back({ZFCEntry{"link", path, std::nullopt, std::nullopt, ec ? std::string() : target.string()}});
            continue;
        }
        bool isDirectory = haveAttributes && S_ISDIR(st.st_mode);
        if (!isDirectory && !(haveAttributes && S_ISREG(st.st_mode))) {
            struct stat followed {};
            if (::stat(child.c_str(), &followed) != 0)
                continue;  // gone
            isDirectory = S_ISDIR(followed.st_mode);
        }
        if (isDirectory) {
            out.push_back({ZFCEntry{"directory", path}});
            scanInto(child, path, out);
        } else {
            out.push_back({ZFCEntry{"file", path, haveAttributes ? int64_t(st.st_size) : 0, 0}});
        }
    }
}

// The scan of one item, made when the workers first need its files; an error waits until
// the writer reaches the item, so errors arrive in the order a sequential packer meets them.
struct ItemScan
{
    bool done = false;
    std::vector<ZFCPacker::ScannedEntry> entries;
    std::exception_ptr error;
};

void scanItem(const ZFCPackItem& item, ItemScan& scan)
{
    scan.done = true;
    try {
        std::error_code ec;
        if (!fs::is_directory(item.sourceDir, ec))
            throw ZFCPackageError::sourceDirMissing(item.sourceDir.string());
        if (!kit::isValidUtf8(item.name))
            throw ZFCPackageError::failure(ZFCPackageError::Kind::nameNotUtf8, item.name);
        scan.entries = ZFCPacker::scanTree(item.sourceDir);
        // Names are stored as JSON text: one that is not UTF-8 would come back altered.
        for (const auto& s : scan.entries) {
            if (!kit::isValidUtf8(s.entry.path) || (s.entry.link && !kit::isValidUtf8(*s.entry.link)))
                throw ZFCPackageError::failure(ZFCPackageError::Kind::nameNotUtf8, (item.sourceDir / s.entry.path).string());
        }
    } catch (...) {
        scan.entries.clear();
        scan.error = std::current_exception();
    }
}

unsigned workerCount(const ZFCPacker::PackOptions& options)
{
    if (options.threads > 0)
        return options.threads;
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
}

// Copies `length` bytes at `offset` of `from` to the end of `out`, in the kernel when it can.
void appendRange(int from, int64_t offset, int64_t length, ZFCFileHandle& out, std::vector<uint8_t>& buffer)
{
    loff_t at = offset;
    bool kernel = true;
    while (length > 0) {
        if (kernel) {
            const ssize_t n = ::copy_file_range(from, &at, out.fd(), nullptr,
                                                static_cast<std::size_t>(std::min<int64_t>(length, 1 << 30)), 0);
            if (n > 0) {
                length -= n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP && errno != EBADF)
                kit::throwErrno("cannot write", out.path());
            kernel = false;  // not supported here, or the data file ended early: see below
        }
        buffer.resize(kit::kPieceSize);
        const ssize_t n = ::pread(from, buffer.data(), static_cast<std::size_t>(std::min<int64_t>(length, kit::kPieceSize)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            kit::throwErrno("cannot read", out.path());
        }
        out.write(buffer.data(), static_cast<std::size_t>(n));
        at += n;
        length -= n;
    }
}

int createBeside(const fs::path& folder, const char* suffix, const fs::path& named, fs::path& created)
{
    created = folder / (".zfcp-" + kit::newUuid() + suffix);
    const int fd = ::open(created.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        kit::throwErrno("cannot create", named);
    return fd;
}

// One pack call: the writer walks the items in order and stores each file's outcome as the
// pool hands it over, scanning items ahead so that the workers never wait at an item's end.
class PackRun
{
public:
    PackRun(const std::vector<ZFCPackItem>& items, const ZFCPacker::PackOptions& options, const ZFCProgressCallback& progress)
        : m_items(items), m_options(options), m_progress(progress), m_scans(items.size())
    {
    }

    void run(const fs::path& to)
    {
        // Errors name the destination the caller knows, not the temporary names.
        const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
        fs::path dataPath;
        ZFCFileHandle data = ZFCFileHandle::adopt(createBeside(folder, ".data", to, dataPath), to);
        RemoveOnExit dataGuard(dataPath);

        std::vector<ZFCPlugin> metas;
        {
            Sealer sealer(data);
            DeflatePool pool(workerCount(m_options), m_options);
            int64_t position = 0;
            for (std::size_t i = 0; i < m_items.size(); ++i) {
                metas.push_back(buildPlugin(i, position, sealer, pool));
                position += metas.back().eSize;
            }
        }

        std::string json = ZFCPlugin::encodeArray(metas);
        if (static_cast<int64_t>(json.size()) + 16 > kit::kMaxHeaderValue)
            throw ZFCPackageError::failure(ZFCPackageError::Kind::metadataTooLarge);
        std::vector<uint8_t> sealed = ZFCPacker::encryptBuffer({reinterpret_cast<const uint8_t*>(json.data()), json.size()});
        json = {};

        fs::path partial;
        ZFCFileHandle out = ZFCFileHandle::adopt(createBeside(folder, ".part", to, partial), to);
        RemoveOnExit partialGuard(partial);
        uint8_t header[kit::kHeaderSize];
        kit::putLengthHeader(header, static_cast<int64_t>(sealed.size()));
        out.write(header, sizeof header);
        out.write(sealed.data(), sealed.size());
        sealed = {};
        std::vector<uint8_t> buffer;
        int64_t offset = 0;
        for (std::size_t j = 0; j < metas.size(); ++j) {
            appendRange(data.fd(), offset, metas[j].eSize, out, buffer);
            offset += metas[j].eSize;
            report(m_progress, ZFCProgress::Stage::assembling, metas[j].name,
                   static_cast<double>(j + 1) / static_cast<double>(metas.size()));
        }
        data.close();
        // Replacing an older package: it may go only once the new one is on the disk. A new
        // name destroys nothing if a crash cuts it short, so it is not waited for.
        struct stat st {};
        if (::stat(to.c_str(), &st) == 0 && ::fsync(out.fd()) != 0 && errno != EINVAL && errno != EROFS)
            kit::throwErrno("cannot write", to);
        out.close();
        if (::rename(partial.c_str(), to.c_str()) != 0)
            kit::throwErrno("cannot replace", to);
        partialGuard.release();
        report(m_progress, ZFCProgress::Stage::assembling, std::string(), 1.0);
    }

private:
    // Hands the workers every file they have room for, scanning items as they are reached.
    void feed(DeflatePool& pool)
    {
        while (pool.hasRoom()) {
            if (m_feedItem >= m_items.size())
                return;
            ItemScan& scan = m_scans[m_feedItem];
            if (!scan.done)
                scanItem(m_items[m_feedItem], scan);
            if (m_feedEntry >= scan.entries.size()) {
                if (scan.error)
                    return;  // the writer throws it when it gets there
                ++m_feedItem;
                m_feedEntry = 0;
                continue;
            }
            const ZFCEntry& entry = scan.entries[m_feedEntry++].entry;
            if (entry.type == "file")
                pool.submit(m_items[m_feedItem].sourceDir / entry.path);
        }
    }

    ZFCPlugin buildPlugin(std::size_t i, int64_t position, Sealer& sealer, DeflatePool& pool)
    {
        const ZFCPackItem& item = m_items[i];
        ItemScan& scan = m_scans[i];
        report(m_progress, ZFCProgress::Stage::scanning, item.name, -1.0);
        feed(pool);
        if (!scan.done)
            scanItem(item, scan);
        if (scan.error)
            std::rethrow_exception(scan.error);
        // A package its own reader would refuse is not written.
        m_entries += scan.entries.size();
        if (m_entries > kit::kMaxMetadataEntries)
            throw ZFCPackageError::failure(ZFCPackageError::Kind::tooManyEntries, static_cast<int64_t>(kit::kMaxMetadataEntries));

        int64_t total = 0;
        for (const auto& s : scan.entries) {
            if (s.entry.type == "file")
                total += std::max<int64_t>(s.entry.size.value_or(1), 1);
        }
        total = std::max<int64_t>(total, 1);
        int64_t done = 0;
        const auto fraction = [&](int64_t value) {
            return static_cast<double>(std::min(value, total)) / static_cast<double>(total);
        };

        ZFCPlugin meta{item.name, std::string(item.type.rawValue()), {}, 0, 0, position};
        meta.items.reserve(scan.entries.size());
        int64_t streamPosition = 0;
        for (auto& scannedEntry : scan.entries) {
            ZFCEntry& entry = scannedEntry.entry;
            if (entry.type == "file") {
                feed(pool);
                const int64_t index = m_taken++;
                Outcome& outcome = pool.wait(index);
                if (outcome.error)
                    std::rethrow_exception(outcome.error);
                int64_t size = 0;
                int64_t stored = 0;
                bool compressed = false;
                switch (outcome.how) {
                case Outcome::How::empty:
                    break;
                case Outcome::How::memory:
                case Outcome::How::compressed:
                    sealer.append(outcome.bytes.data(), outcome.bytes.size());
                    size = outcome.size;
                    stored = static_cast<int64_t>(outcome.bytes.size());
                    compressed = outcome.how == Outcome::How::compressed;
                    break;
                case Outcome::How::copy:
                    outcome.file.seek(0);
                    size = stored = sealer.copyFrom(outcome.file);
                    break;
                case Outcome::How::compressInline:
                    compressed = deflateInline(outcome.file, sealer, size, stored, [&](int64_t readSoFar) {
                        report(m_progress, ZFCProgress::Stage::packing, item.name, fraction(done + readSoFar));
                    });
                    break;
                }
                pool.release(index);
                done += std::max<int64_t>(entry.size.value_or(1), 1);
                report(m_progress, ZFCProgress::Stage::packing, item.name, fraction(done));
                // The size is the byte count actually stored, so it always matches the
                // content even when the file changed while it was being packed.
                entry.size = size;
                entry.position = streamPosition;
                entry.stored = stored;
                entry.cm = compressed ? std::optional<std::string>("zlib") : std::nullopt;
                entry.link.reset();
                streamPosition += stored;
                meta.size += size;
            }
            meta.items.push_back(std::move(entry));
        }
        scan.entries = {};
        meta.eSize = sealer.endPlugin();
        if (meta.eSize > 0)
            report(m_progress, ZFCProgress::Stage::encrypting, item.name, 1.0);
        return meta;
    }

    // A large file whose first MiB deflates well, deflated straight into the stream; when
    // the whole does not come out smaller, the stream goes back and the file is copied raw.
    bool deflateInline(ZFCFileHandle& in, Sealer& sealer, int64_t& size, int64_t& stored,
                       const std::function<void(int64_t)>& readSoFar)
    {
        const auto sink = [&sealer](const uint8_t* bytes, std::size_t count) { sealer.append(bytes, count); };
        if (!m_deflater)
            m_deflater = ZFCDeflater::create(m_options.compressLevel, 9, sink);
        if (m_deflater && m_deflater->reset(sink)) {
            const Sealer::Mark mark = sealer.mark();
            m_buffer.resize(kit::kPieceSize);
            int64_t bytesRead = 0;
            int64_t sinceReport = 0;
            for (;;) {
                const std::size_t n = in.readAt(m_buffer.data(), kit::kPieceSize, bytesRead);
                if (n == 0)
                    break;
                m_deflater->append({m_buffer.data(), n});
                bytesRead += static_cast<int64_t>(n);
                sinceReport += static_cast<int64_t>(n);
                if (sinceReport >= kProgressStep) {
                    sinceReport = 0;
                    readSoFar(bytesRead);
                }
            }
            m_deflater->finish();
            if (m_deflater->written() < bytesRead) {
                size = bytesRead;
                stored = m_deflater->written();
                return true;
            }
            sealer.rollback(mark);
        }
        in.seek(0);
        size = stored = sealer.copyFrom(in);
        return false;
    }

    const std::vector<ZFCPackItem>& m_items;
    const ZFCPacker::PackOptions m_options;
    const ZFCProgressCallback& m_progress;
    std::vector<ItemScan> m_scans;
    std::size_t m_feedItem = 0;
    std::size_t m_feedEntry = 0;
    int64_t m_taken = 0;
    std::size_t m_entries = 0;
    std::unique_ptr<ZFCDeflater> m_deflater;
    std::vector<uint8_t> m_buffer;
};

} // namespace

std::vector<uint8_t> ZFCPacker::encryptBuffer(std::span<const uint8_t> plaintext)
{
    std::vector<uint8_t> sealed(16 + plaintext.size());
    kit::randomBytes(sealed.data(), 16);
    if (!plaintext.empty())
        std::copy(plaintext.begin(), plaintext.end(), sealed.begin() + 16);
    kit::cryptInPlace(sealed.data() + 16, plaintext.size(), sealed.data());
    return sealed;
}

int64_t ZFCPacker::encryptChunkedStream(const fs::path& from, const fs::path& to, const std::function<void(double)>& progress)
{
    ZFCFileHandle out = ZFCFileHandle::createForWriting(to);
    ZFCFileHandle in = ZFCFileHandle::openForReading(from);
    int64_t length = 1;
    try {
        length = std::max<int64_t>(in.size(), 1);
    } catch (const fs::filesystem_error&) {
    }

    // [8-byte header][16-byte IV][ciphertext], written at once.
    std::vector<uint8_t> chunk(kit::kHeaderSize + 16 + kit::kPieceSize);
    uint8_t* const iv = chunk.data() + kit::kHeaderSize;
    uint8_t* const body = iv + 16;
    int64_t bytesRead = 0;
    int64_t written = 0;
    for (;;) {
        const std::size_t n = in.read(body, kit::kPieceSize);
        if (n == 0)
            break;
        bytesRead += static_cast<int64_t>(n);
        kit::randomBytes(iv, 16);
        kit::cryptInPlace(body, n, iv);
        const int64_t sealedLength = 16 + static_cast<int64_t>(n);
        kit::putLengthHeader(chunk.data(), sealedLength);
        out.write(chunk.data(), kit::kHeaderSize + static_cast<std::size_t>(sealedLength));
        written += static_cast<int64_t>(kit::kHeaderSize) + sealedLength;
        if (progress)
            progress(static_cast<double>(bytesRead) / static_cast<double>(length));
    }
    return written;
}

bool ZFCPacker::looksCompressible(const fs::path& file)
{
    try {
        ZFCFileHandle in = ZFCFileHandle::openForReading(file);
        std::vector<uint8_t> buffer;
        return sampleLooksCompressible(in, buffer);
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<ZFCPacker::ScannedEntry> ZFCPacker::scanTree(const fs::path& dir)
{
    std::vector<ScannedEntry> entries;
    scanInto(dir, {}, entries);
    return entries;
}

void ZFCPacker::pack(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress)
{
    pack(items, to, progress, PackOptions{});
}

void ZFCPacker::pack(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress,
                     const PackOptions& options)
{
    if (items.empty())
        return;
    PackRun(items, options, progress).run(to);
}

void ZFCPacker::packEach(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress)
{
    packEach(items, to, progress, PackOptions{});
}

void ZFCPacker::packEach(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress,
                         const PackOptions& options)
{
    fs::create_directories(to);
    const double count = static_cast<double>(items.size());
    std::set<std::string> used;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ZFCPackItem& item = items[i];
        // The name becomes a file name: it may not climb out of `to` or hide in a sub-folder.
        const std::string base = ZFCPackageReader::safeName(item.name);
        if (base.empty())
            throw ZFCPackageError::failure(ZFCPackageError::Kind::fileCreateFailed, (to / (item.name + ".zfcp")).string());
        std::string fileName = base + ".zfcp";
        for (int k = 2; used.count(fileName); ++k)
            fileName = base + " " + std::to_string(k) + ".zfcp";
        used.insert(fileName);
        pack({item}, to / fileName,
             [&](const ZFCProgress& p) {
                 if (progress)
                     progress({p.stage, p.subject, (std::max(p.fraction, 0.0) + static_cast<double>(i)) / count});
             },
             options);
    }
    report(progress, ZFCProgress::Stage::assembling, std::string(), 1.0);
}
