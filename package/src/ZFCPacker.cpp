#include "LoomworkKit/ZFCPacker.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
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
// Files up to kSampleBytes go to the workers in runs of this many files and bytes at most.
constexpr std::size_t kBatchFiles = 64;
constexpr int64_t kBatchBytes = 256 * 1024;

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
        memory,          // the job's bytes [offset, offset + length) are the file, stored raw
        compressed,      // those bytes are its raw deflate stream
        copy,            // stored raw, copied by the writer from `file`
        compressInline,  // a large file that samples well: deflated by the writer from `file`
    };
    How how = How::empty;
    int64_t size = 0;  // bytes read (memory, compressed), or the size when opened (copy, compressInline)
    std::size_t offset = 0;
    std::size_t length = 0;
    ZFCFileHandle file;
    std::exception_ptr error;
};

// One worker's task: one file, or a run of small neighbours in scan order sharing one
// buffer, so that threads meet once per run rather than once per file.
struct Job
{
    struct File
    {
        fs::path path;
        bool regular = false;  // as the scan saw it; anything else is never opened
        Outcome outcome;
    };
    std::vector<File> files;
    std::vector<uint8_t> bytes;
    int64_t reserved = 0;
    bool done = false;
};

// Thrown inside a worker when a deflate stream reaches the file's size: it cannot pay off.
struct NotSmaller
{
};

// The deflate window for a file of `size` bytes: the smallest that holds it (2^9 to 2^15),
// with a memLevel whose hash table and symbol buffer are no larger than the window needs,
// so resetting the deflater between small files clears kilobytes, not 128 KB. Chosen from
// the size alone, so the stream does not depend on the thread that made it.
int windowBitsFor(int64_t size)
{
    int bits = 9;
    while (bits < 15 && (int64_t(1) << bits) < size)
        ++bits;
    return bits;
}

// Deflates files on worker threads, at most kWindow jobs ahead of the writer and within
// kMemoryBudget of held bytes (the job the writer waits for is never held back). Only a
// thread that waits is woken: the writer when its job is done, workers when work or
// memory comes free.
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
    void submit(Job job)
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            slot(m_submitted++) = std::move(job);
            wake = m_idle > 0;
        }
        if (wake)
            m_work.notify_one();
    }
    // Job `index` (the next one the writer takes), once it is done.
    Job& wait(int64_t index)
    {
        std::unique_lock lock(m_mutex);
        Job& job = slot(index);
        if (!job.done) {
            m_writerWaits = index;
            m_done.wait(lock, [&] { return job.done; });
            m_writerWaits = -1;
        }
        return job;
    }
    void release(int64_t index)
    {
        Job finished;
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            Job& job = slot(index);
            m_used -= job.reserved;
            finished = std::move(job);
            job = Job{};
            m_head = index + 1;
            wake = m_memoryWaiters > 0;
        }
        if (wake)
            m_memory.notify_all();
    }

private:
    // Per-thread tools, made once and reused for every file.
    struct Tools
    {
        std::array<std::unique_ptr<ZFCDeflater>, 16> deflaters;
        std::array<bool, 16> tried{};
        SampleProbe probe;
        std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadPiece);
        std::vector<uint8_t> sample;
        std::vector<uint8_t> packed;
    };

    Job& slot(int64_t index) { return m_slots[static_cast<std::size_t>(index % static_cast<int64_t>(kWindow))]; }

    void run()
    {
        Tools tools;
        for (;;) {
            int64_t index = 0;
            {
                std::unique_lock lock(m_mutex);
                ++m_idle;
                m_work.wait(lock, [&] { return m_stopping || m_claimed < m_submitted; });
                --m_idle;
                if (m_stopping)
                    return;
                index = m_claimed++;
            }
            Job& job = slot(index);
            for (Job::File& file : job.files) {
                try {
                    process(index, job, file, tools);
                } catch (...) {
                    file.outcome.error = std::current_exception();
                    break;  // the writer stops there
                }
            }
            bool wake = false;
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping)
                    return;
                job.done = true;
                wake = m_writerWaits == index;
            }
            if (wake)
                m_done.notify_one();
        }
    }

    // Counts `count` more held bytes against the budget, waiting while it is spent unless
    // the writer waits for this very job.
    void reserve(int64_t index, Job& job, int64_t count)
    {
        std::unique_lock lock(m_mutex);
        const auto fits = [&] { return m_stopping || index == m_head || m_used + count <= kMemoryBudget; };
        if (!fits()) {
            ++m_memoryWaiters;
            m_memory.wait(lock, fits);
            --m_memoryWaiters;
        }
        m_used += count;
        job.reserved += count;
    }
    void giveBack(Job& job, int64_t count)
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            m_used -= count;
            job.reserved -= count;
            wake = m_memoryWaiters > 0;
        }
        if (wake)
            m_memory.notify_all();
    }

    ZFCDeflater* deflaterFor(int64_t size, Tools& tools)
    {
        const int bits = windowBitsFor(size);
        const auto i = static_cast<std::size_t>(bits);
        if (!tools.tried[i]) {
            tools.tried[i] = true;
            tools.deflaters[i] = ZFCDeflater::create(m_options.compressLevel, std::min(9, bits - 6), bits, ZFCDeflater::Sink());
        }
        return tools.deflaters[i].get();
    }

    void process(int64_t index, Job& job, Job::File& file, Tools& tools)
    {
        // Anything but a regular file is stored empty without being opened (a FIFO would
        // block, a device could be endless).
        if (!file.regular)
            return;
        const int fd = ::open(file.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ELOOP || errno == ENXIO)
                return;  // swapped for a link or a socket since the scan
            kit::throwErrno("cannot open", file.path);
        }
        ZFCFileHandle in = ZFCFileHandle::adopt(fd, file.path);
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            kit::throwErrno("cannot stat", file.path);
        if (!S_ISREG(st.st_mode))
            return;  // swapped since the scan
        // Reads stop at this size: a file that grows meanwhile is stored as it was here.
        const int64_t size = st.st_size;
        Outcome& outcome = file.outcome;
        outcome.size = size;
        if (size <= static_cast<int64_t>(kSampleBytes))
            return packSmall(index, job, outcome, in, size, tools);

        outcome.how = Outcome::How::copy;
        if (!m_options.compressEnabled || size > kMaxCompressed) {
            outcome.file = std::move(in);
            return;
        }
        if (size > kCompressWithoutSample) {
            if (sampleLooksCompressible(in, tools.sample))
                outcome.how = Outcome::How::compressInline;
            outcome.file = std::move(in);
            return;
        }

        // Alone in its job, unless it has grown past kSampleBytes since the scan: its bytes
        // go after those of the files before it.
        std::vector<uint8_t>& buffer = tools.buffer;
        const std::size_t head = in.readAt(buffer.data(), kSampleBytes, 0);
        ZFCDeflater* deflater = tools.probe.shrinks(buffer.data(), head) ? deflaterFor(size, tools) : nullptr;
        std::vector<uint8_t>& out = job.bytes;
        const std::size_t start = out.size();
        if (!deflater || !deflater->reset([&](const uint8_t* bytes, std::size_t count) {
                if (static_cast<int64_t>(out.size() - start + count) >= size)
                    throw NotSmaller{};
                reserve(index, job, static_cast<int64_t>(count));
                out.insert(out.end(), bytes, bytes + count);
            })) {
            outcome.file = std::move(in);
            return;
        }
        int64_t bytesRead = 0;
        bool smaller = true;
        try {
            std::size_t n = head;
            while (n > 0) {
                deflater->append({buffer.data(), n});
                bytesRead += static_cast<int64_t>(n);
                if (bytesRead >= size)
                    break;
                n = in.readAt(buffer.data(), static_cast<std::size_t>(std::min<int64_t>(kReadPiece, size - bytesRead)), bytesRead);
            }
            deflater->finish();
        } catch (const NotSmaller&) {
            smaller = false;
        }
        if (smaller && deflater->written() < bytesRead) {
            outcome.how = Outcome::How::compressed;
            outcome.size = bytesRead;
            outcome.offset = start;
            outcome.length = out.size() - start;
            return;
        }
        out.resize(start);
        outcome.file = std::move(in);
    }

    // A small file: read whole with one read of its size and deflated from memory, kept
    // raw when that does not pay off.
    void packSmall(int64_t index, Job& job, Outcome& outcome, ZFCFileHandle& in, int64_t size, Tools& tools)
    {
        reserve(index, job, size);
        const std::size_t start = job.bytes.size();
        job.bytes.resize(start + static_cast<std::size_t>(size));
        const std::size_t n = size > 0 ? in.readAt(job.bytes.data() + start, static_cast<std::size_t>(size), 0) : 0;
        outcome.how = Outcome::How::memory;
        outcome.size = static_cast<int64_t>(n);
        outcome.offset = start;
        outcome.length = n;
        ZFCDeflater* deflater = m_options.compressEnabled && static_cast<int64_t>(n) >= kMinCompressed ? deflaterFor(size, tools) : nullptr;
        std::vector<uint8_t>& packed = tools.packed;
        packed.clear();
        if (deflater && deflater->reset([&](const uint8_t* bytes, std::size_t count) {
                if (packed.size() + count >= n)
                    throw NotSmaller{};
                packed.insert(packed.end(), bytes, bytes + count);
            })) {
            try {
                deflater->append({job.bytes.data() + start, n});
                deflater->finish();
                std::copy(packed.begin(), packed.end(), job.bytes.begin() + static_cast<std::ptrdiff_t>(start));
                outcome.how = Outcome::How::compressed;
                outcome.length = packed.size();
            } catch (const NotSmaller&) {
            }
        }
        job.bytes.resize(start + outcome.length);
        giveBack(job, size - static_cast<int64_t>(outcome.length));
    }

    const ZFCPacker::PackOptions m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::condition_variable m_memory;
    std::vector<Job> m_slots;
    std::vector<std::thread> m_threads;
    int64_t m_submitted = 0;
    int64_t m_claimed = 0;
    int64_t m_head = 0;
    int64_t m_used = 0;
    int64_t m_writerWaits = -1;
    int m_idle = 0;
    int m_memoryWaiters = 0;
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
    // Copies the rest of `in`, at most `limit` bytes, straight into the pieces; returns the
    // bytes copied.
    int64_t copyFrom(ZFCFileHandle& in, int64_t limit)
    {
        int64_t copied = 0;
        while (copied < limit) {
            const std::size_t n = in.read(body() + m_fill, static_cast<std::size_t>(std::min<int64_t>(kit::kPieceSize - m_fill, limit - copied)));
            if (n == 0)
                return copied;
            m_fill += n;
            copied += static_cast<int64_t>(n);
            if (m_fill == kit::kPieceSize)
                seal();
        }
        return copied;
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

// The target of the link `name` in the folder `dirFd`; empty when it cannot be read.
std::string linkTarget(int dirFd, const char* name, std::size_t sizeHint)
{
    std::string target(std::max<std::size_t>(sizeHint, 64) + 1, '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(dirFd, name, target.data(), target.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);
    }
}

// Lists the folder `dir`, open as `dirFd` (closed here), into `out` in pre-order with names
// sorted; `regular` gets, entry for entry, whether the scan saw a regular file. Attributes
// are read relative to the open folder, so no path is walked again for every name.
void scanInto(int dirFd, const fs::path& dir, const std::string& rel, std::vector<ZFCPacker::ScannedEntry>& out,
              std::vector<bool>& regular)
{
    DIR* const listing = ::fdopendir(dirFd);
    if (!listing) {
        const int error = errno;
        ::close(dirFd);
        errno = error;
        kit::throwErrno("cannot open directory", dir);
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(listing, ::closedir);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* child = ::readdir(listing);
        if (!child) {
            if (errno != 0)
                kit::throwErrno("cannot read directory", dir);
            break;
        }
        if (std::strcmp(child->d_name, ".") != 0 && std::strcmp(child->d_name, "..") != 0)
            names.emplace_back(child->d_name);
    }
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        const bool haveAttributes = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (haveAttributes && S_ISLNK(st.st_mode)) {
            out.push_back({ZFCEntry{"link", path, std::nullopt, std::nullopt,
                                    linkTarget(dirFd, name.c_str(), static_cast<std::size_t>(st.st_size))}});
            regular.push_back(false);
            continue;
        }
        bool isDirectory = haveAttributes && S_ISDIR(st.st_mode);
        if (!isDirectory && !(haveAttributes && S_ISREG(st.st_mode))) {
            struct stat followed {};
            if (::fstatat(dirFd, name.c_str(), &followed, 0) != 0)
                continue;  // gone
            isDirectory = S_ISDIR(followed.st_mode);
        }
        if (isDirectory) {
            out.push_back({ZFCEntry{"directory", path}});
            regular.push_back(false);
            // Not through a link that took the folder's place since it was looked at.
            const int childFd = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (haveAttributes ? O_NOFOLLOW : 0));
            if (childFd < 0)
                kit::throwErrno("cannot open directory", dir / name);
            scanInto(childFd, dir / name, path, out, regular);
        } else {
            out.push_back({ZFCEntry{"file", path, haveAttributes ? int64_t(st.st_size) : 0, 0}});
            regular.push_back(haveAttributes && S_ISREG(st.st_mode));
        }
    }
}

void scanTreeInto(const fs::path& dir, std::vector<ZFCPacker::ScannedEntry>& out, std::vector<bool>& regular)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        kit::throwErrno("cannot open directory", dir);
    scanInto(fd, dir, {}, out, regular);
}

// The scan of one item, made when the workers first need its files; an error waits until
// the writer reaches the item, so errors arrive in the order a sequential packer meets them.
struct ItemScan
{
    bool done = false;
    std::vector<ZFCPacker::ScannedEntry> entries;
    std::vector<bool> regular;
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
        scanTreeInto(item.sourceDir, scan.entries, scan.regular);
        // Names are stored as JSON text: one that is not UTF-8 would come back altered.
        for (const auto& s : scan.entries) {
            if (!kit::isValidUtf8(s.entry.path) || (s.entry.link && !kit::isValidUtf8(*s.entry.link)))
                throw ZFCPackageError::failure(ZFCPackageError::Kind::nameNotUtf8, (item.sourceDir / s.entry.path).string());
        }
    } catch (...) {
        scan.entries.clear();
        scan.regular.clear();
        scan.error = std::current_exception();
    }
}

unsigned workerCount(const ZFCPacker::PackOptions& options)
{
    return options.threads > 0 ? options.threads : kit::coreCount();
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
    // The next file entry not yet handed to the workers, scanning items as they are
    // reached; null at the end, or at an item whose scan failed (the writer throws there).
    const ZFCEntry* nextFile(bool& regular)
    {
        while (m_feedItem < m_items.size()) {
            ItemScan& scan = m_scans[m_feedItem];
            if (!scan.done)
                scanItem(m_items[m_feedItem], scan);
            for (; m_feedEntry < scan.entries.size(); ++m_feedEntry) {
                if (scan.entries[m_feedEntry].entry.type == "file") {
                    regular = scan.regular[m_feedEntry];
                    return &scan.entries[m_feedEntry].entry;
                }
            }
            if (scan.error)
                return nullptr;
            ++m_feedItem;
            m_feedEntry = 0;
        }
        return nullptr;
    }

    // Hands the workers every job they have room for: a file above kSampleBytes alone, else
    // a run of up to kBatchFiles files of at most kBatchBytes together.
    void feed(DeflatePool& pool)
    {
        while (pool.hasRoom()) {
            Job job;
            int64_t batched = 0;
            bool regular = false;
            while (const ZFCEntry* entry = nextFile(regular)) {
                const int64_t size = regular ? entry->size.value_or(0) : 0;
                const bool small = size <= static_cast<int64_t>(kSampleBytes);
                if (!job.files.empty() && (!small || job.files.size() >= kBatchFiles || batched + size > kBatchBytes))
                    break;
                job.files.push_back({m_items[m_feedItem].sourceDir / entry->path, regular, {}});
                ++m_feedEntry;
                batched += size;
                if (!small)
                    break;
            }
            if (job.files.empty())
                return;
            if (batched <= kBatchBytes)
                job.bytes.reserve(static_cast<std::size_t>(batched));
            pool.submit(std::move(job));
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
                if (!m_job) {
                    feed(pool);
                    m_job = &pool.wait(m_taken);
                    m_inJob = 0;
                }
                Outcome& outcome = m_job->files[m_inJob].outcome;
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
                    sealer.append(m_job->bytes.data() + outcome.offset, outcome.length);
                    size = outcome.size;
                    stored = static_cast<int64_t>(outcome.length);
                    compressed = outcome.how == Outcome::How::compressed;
                    break;
                case Outcome::How::copy:
                    outcome.file.seek(0);
                    size = stored = sealer.copyFrom(outcome.file, outcome.size);
                    break;
                case Outcome::How::compressInline:
                    compressed = deflateInline(outcome.file, outcome.size, sealer, size, stored, [&](int64_t readSoFar) {
                        report(m_progress, ZFCProgress::Stage::packing, item.name, fraction(done + readSoFar));
                    });
                    break;
                }
                if (++m_inJob == m_job->files.size()) {
                    m_job = nullptr;
                    pool.release(m_taken++);
                }
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
        scan.regular = {};
        meta.eSize = sealer.endPlugin();
        if (meta.eSize > 0)
            report(m_progress, ZFCProgress::Stage::encrypting, item.name, 1.0);
        return meta;
    }

    // A large file whose first MiB deflates well, deflated straight into the stream; when
    // the whole does not come out smaller, the stream goes back and the file is copied raw.
    bool deflateInline(ZFCFileHandle& in, int64_t limit, Sealer& sealer, int64_t& size, int64_t& stored,
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
            while (bytesRead < limit) {
                const std::size_t n =
                    in.readAt(m_buffer.data(), static_cast<std::size_t>(std::min<int64_t>(kit::kPieceSize, limit - bytesRead)), bytesRead);
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
        size = stored = sealer.copyFrom(in, limit);
        return false;
    }

    const std::vector<ZFCPackItem>& m_items;
    const ZFCPacker::PackOptions m_options;
    const ZFCProgressCallback& m_progress;
    std::vector<ItemScan> m_scans;
    std::size_t m_feedItem = 0;
    std::size_t m_feedEntry = 0;
    int64_t m_taken = 0;  // the job the writer takes from
    Job* m_job = nullptr;
    std::size_t m_inJob = 0;
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
    std::vector<bool> regular;
    scanTreeInto(dir, entries, regular);
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
