#include "LoomworkKit/ZFCPacker.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ChunkSealer.h"
#include "KitInternal.h"
#include "PackWorkers.h"
#include "TreeScan.h"
#include "LoomworkKit/ZFCDeflater.h"
#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCWorkQueue.h"

namespace fs = std::filesystem;

namespace {

using kit::packer::Deflating;
using kit::packer::Job;
using kit::packer::kSampleBytes;
using kit::packer::Outcome;
using kit::packer::Turn;

constexpr int64_t kProgressStep = 16LL * 1024 * 1024;
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

// A report once the package stands: a callback that fails then (its text found no memory)
// does not make the written package a failure.
void reportDone(const ZFCProgressCallback& progress) noexcept
{
    try {
        report(progress, ZFCProgress::Stage::assembling, std::string(), 1.0);
    } catch (...) {
    }
}

std::mutex g_syncMutex;
std::function<int(int, ZFCPacker::SyncStep)> g_syncHook;

#if defined(__linux__)
constexpr bool kOneSyncCoversAll = true;
#else
constexpr bool kOneSyncCoversAll = false;
#endif

// 0 or the errno. A file system that cannot sync (EINVAL) or that nothing was written to
// (EROFS) has nothing to lose.
int syncStep(int fd, ZFCPacker::SyncStep step)
{
    {
        const std::lock_guard lock(g_syncMutex);
        if (g_syncHook)
            return g_syncHook(fd, step);
    }
    int result = 0;
#if defined(__linux__)
    if (step == ZFCPacker::SyncStep::fileSystem)
        result = ::syncfs(fd);
    else
#endif
        result = ::fsync(fd);
    return result == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
}

void syncOrThrow(int fd, ZFCPacker::SyncStep step, const fs::path& named)
{
    if (const int error = syncStep(fd, step)) {
        errno = error;
        kit::throwErrno("cannot sync", named);
    }
}

// The folder packages are written in, opened before anything is written there: a sync
// through it sees the write errors of what follows.
class Folder
{
public:
    // Errors name `named`, the destination the caller knows.
    Folder(const fs::path& folder, const fs::path& named) : m_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (m_fd < 0)
            kit::throwErrno("cannot open directory", named);
    }
    ~Folder() { ::close(m_fd); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A temporary file beside the destination, removed when the scope is left unless released.
// Its name is chosen and its removal armed before it exists, so that nothing that may fail (an
// allocation) comes between creating it and the guard.
class TemporaryFile
{
public:
    TemporaryFile(const fs::path& folder, const char* suffix) : m_path(folder / (".zfcp-" + kit::newUuid() + suffix)) {}
    ~TemporaryFile()
    {
        if (m_created)
            ::unlink(m_path.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    // Creates the file, its errors naming `named`.
    ZFCFileHandle create(const fs::path& named)
    {
        fs::path name = named;
        const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0)
            kit::throwErrno("cannot create", named);
        m_created = true;
        return ZFCFileHandle::adopt(fd, std::move(name));
    }
    const fs::path& path() const { return m_path; }
    void release() { m_created = false; }

private:
    fs::path m_path;
    bool m_created = false;
};

// The scan of one item, made when the workers first need its files; an error waits until
// the writer reaches the item, so errors arrive in the order a sequential packer meets them.
struct ItemScan : kit::TreeScan
{
    bool done = false;
    std::exception_ptr error;
    // The item's folder, held from its scan on: its files are opened below it without
    // following any link, so a folder inside swapped for one since the scan is never read through.
    int root = -1;
    ItemScan() = default;
    ItemScan(ItemScan&& other) noexcept : kit::TreeScan(std::move(other)), done(other.done), error(std::move(other.error)), root(other.root) { other.root = -1; }
    ItemScan& operator=(ItemScan&&) = delete;
    ~ItemScan()
    {
        if (root >= 0)
            ::close(root);
    }
};

std::function<void(const ZFCPackItem&)>& scannedHook()
{
    static std::function<void(const ZFCPackItem&)> hook;
    return hook;
}

void scanItem(const ZFCPackItem& item, ItemScan& scan, const kit::FileId& skip)
{
    scan.done = true;
    const auto fail = [&scan](std::exception_ptr error) {
        scan.entries.clear();
        scan.regular.clear();
        scan.error = std::move(error);
    };
    // The folder is opened once, and both scanned and read below that handle.
    scan.root = item.openFolder            ? item.openFolder()
              : item.sourceFolder >= 0 ? ::openat(item.sourceFolder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                       : ::open(item.sourceDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = scan.root < 0 ? errno : 0;
    if (error == ENOENT || error == ENOTDIR)
        return fail(std::make_exception_ptr(ZFCPackageError::sourceDirMissing(item.sourceDir.string())));
    if (!kit::isValidUtf8(item.name))
        return fail(std::make_exception_ptr(ZFCPackageError::failure(ZFCPackageError::Kind::nameNotUtf8, item.name)));
    if (error)
        return fail(std::make_exception_ptr(
            fs::filesystem_error("cannot open directory", item.sourceDir, std::error_code(error, std::generic_category()))));
    try {
        scan.scan(scan.root, item.sourceDir, skip);
    } catch (...) {
        return fail(std::current_exception());
    }
    // Names are stored as JSON text: one that is not UTF-8 would come back altered. A
    // backslash would come back as a folder separator.
    for (const auto& s : scan.entries) {
        const bool utf8 = kit::isValidUtf8(s.entry.path) && (!s.entry.link || kit::isValidUtf8(*s.entry.link));
        if (!utf8 || s.entry.path.find('\\') != std::string::npos) {
            const std::string named = (item.sourceDir / s.entry.path).string();
            const auto kind = utf8 ? ZFCPackageError::Kind::nameHoldsBackslash : ZFCPackageError::Kind::nameNotUtf8;
            return fail(std::make_exception_ptr(ZFCPackageError::failure(kind, named)));
        }
    }
    if (scannedHook())
        scannedHook()(item);
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

// One pack call: the writer walks the items in order and stores each file's outcome as the
// workers hand it over, scanning items ahead so that the workers never wait at an item's end.
class PackRun
{
public:
    PackRun(const std::vector<ZFCPackItem>& items, const ZFCPacker::PackOptions& options, const ZFCProgressCallback& progress)
        : m_items(items), m_options(options), m_progress(progress), m_scans(items.size())
    {
    }

    // `folderFd` is the destination's folder. With `syncFolder` the package and the folder
    // are synced before the call returns; else only a package that replaces another is, and
    // the caller syncs the rest.
    void run(const fs::path& to, int folderFd, bool syncFolder)
    {
        // Errors name the destination the caller knows, not the temporary names.
        const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
        TemporaryFile dataFile(folder, ".data");
        ZFCFileHandle data = dataFile.create(to);
        struct stat dataStat {};
        if (::fstat(data.fd(), &dataStat) != 0)
            kit::throwErrno("cannot stat", to);
        m_skip = {.device = dataStat.st_dev, .inode = dataStat.st_ino};

        std::vector<ZFCPlugin> metas;
        {
            kit::ChunkSealer sealer(data);
            const unsigned workers = workerCount(m_options);
            Deflating deflating(m_options, workers);
            kit::ZFCWorkQueue<Job> queue(
                workers, kWindow, [&deflating](Job& job, Turn& turn) { deflating.run(job, turn); }, kMemoryBudget);
            int64_t position = 0;
            for (std::size_t i = 0; i < m_items.size(); ++i) {
                metas.push_back(buildPlugin(i, position, sealer, queue));
                position += metas.back().eSize;
            }
        }

        std::string json = ZFCPlugin::encodeArray(metas);
        if (static_cast<int64_t>(json.size() + kit::kIvSize) > kit::kMaxHeaderValue)
            throw ZFCPackageError::failure(ZFCPackageError::Kind::metadataTooLarge);
        std::vector<uint8_t> sealed = ZFCPacker::encryptBuffer({reinterpret_cast<const uint8_t*>(json.data()), json.size()});
        json = {};

        TemporaryFile partial(folder, ".part");
        ZFCFileHandle out = partial.create(to);
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
        // The package is on the disk before it takes its name, so that an older one goes only
        // then, and a failed sync leaves no package that looks whole.
        struct stat st {};
        if (syncFolder || ::stat(to.c_str(), &st) == 0)
            syncOrThrow(out.fd(), ZFCPacker::SyncStep::file, to);
        out.close();
        if (::rename(partial.path().c_str(), to.c_str()) != 0)
            kit::throwErrno("cannot replace", to);
        partial.release();
        if (syncFolder)
            syncOrThrow(folderFd, ZFCPacker::SyncStep::folder, to);
        reportDone(m_progress);
    }

private:
    // The next file entry not yet handed to the workers, scanning items as they are
    // reached; null at the end, or at an item whose scan failed (the writer throws there).
    const ZFCEntry* nextFile(bool& regular)
    {
        while (m_feedItem < m_items.size()) {
            ItemScan& scan = m_scans[m_feedItem];
            if (!scan.done)
                scanItem(m_items[m_feedItem], scan, m_skip);
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
    void feed(kit::ZFCWorkQueue<Job>& queue)
    {
        while (Job* job = queue.tryClaim()) {
            int64_t batched = 0;
            bool regular = false;
            while (const ZFCEntry* entry = nextFile(regular)) {
                const int64_t size = regular ? entry->size.value_or(0) : 0;
                const bool small = size <= static_cast<int64_t>(kSampleBytes);
                if (!job->files.empty() && (!small || job->files.size() >= kBatchFiles || batched + size > kBatchBytes))
                    break;
                job->files.push_back({.path = m_items[m_feedItem].sourceDir / entry->path, .root = m_scans[m_feedItem].root,
                                      .relative = entry->path, .regular = regular, .outcome = {}});
                ++m_feedEntry;
                batched += size;
                if (!small)
                    break;
            }
            if (job->files.empty())
                return;
            if (batched <= kBatchBytes)
                job->bytes.reserve(static_cast<std::size_t>(batched));
            queue.submit();
        }
    }

    ZFCPlugin buildPlugin(std::size_t i, int64_t position, kit::ChunkSealer& sealer, kit::ZFCWorkQueue<Job>& queue)
    {
        const ZFCPackItem& item = m_items[i];
        ItemScan& scan = m_scans[i];
        report(m_progress, ZFCProgress::Stage::scanning, item.name, -1.0);
        feed(queue);
        if (!scan.done)
            scanItem(item, scan, m_skip);
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

        ZFCPlugin meta{.name = item.name, .type = std::string(item.type.rawValue()), .items = {}, .position = position};
        meta.items.reserve(scan.entries.size());
        int64_t streamPosition = 0;
        for (auto& scannedEntry : scan.entries) {
            ZFCEntry& entry = scannedEntry.entry;
            if (entry.type == "file") {
                if (!m_job) {
                    feed(queue);
                    m_job = queue.front();
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
                    *m_job = Job{};  // its memory goes now, not when the slot is reused
                    m_job = nullptr;
                    queue.pop();
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
        // Every file of the item has been read: its folder need not stay open for the rest.
        ::close(scan.root);
        scan.root = -1;
        meta.eSize = sealer.endPlugin();
        if (meta.eSize > 0)
            report(m_progress, ZFCProgress::Stage::encrypting, item.name, 1.0);
        return meta;
    }

    // A large file whose first MiB deflates well, deflated straight into the stream; when
    // the whole does not come out smaller, the stream goes back and the file is copied raw.
    bool deflateInline(ZFCFileHandle& in, int64_t limit, kit::ChunkSealer& sealer, int64_t& size, int64_t& stored,
                       const std::function<void(int64_t)>& readSoFar)
    {
        const auto sink = [&sealer](const uint8_t* bytes, std::size_t count) { sealer.append(bytes, count); };
        if (!m_deflater)
            m_deflater = ZFCDeflater::create(m_options.compressLevel, 9, sink);
        if (m_deflater && m_deflater->reset(sink)) {
            const kit::ChunkSealer::Mark mark = sealer.mark();
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
    kit::FileId m_skip;
    Job* m_job = nullptr;  // the oldest job, which the writer takes from
    std::size_t m_inJob = 0;
    std::size_t m_entries = 0;
    std::unique_ptr<ZFCDeflater> m_deflater;
    std::vector<uint8_t> m_buffer;
};

} // namespace

std::vector<uint8_t> ZFCPacker::encryptBuffer(std::span<const uint8_t> plaintext)
{
    std::vector<uint8_t> sealed(kit::kIvSize + plaintext.size());
    kit::randomBytes(sealed.data(), kit::kIvSize);
    std::copy(plaintext.begin(), plaintext.end(), sealed.begin() + kit::kIvSize);
    kit::cryptInPlace(sealed.data() + kit::kIvSize, plaintext.size(), sealed.data());
    return sealed;
}

void ZFCPacker::setSyncHookForTests(std::function<int(int fd, SyncStep step)> hook)
{
    const std::lock_guard lock(g_syncMutex);
    g_syncHook = std::move(hook);
}

void ZFCPacker::setScannedHook(std::function<void(const ZFCPackItem&)> hook)
{
    scannedHook() = std::move(hook);
}

std::vector<ZFCPacker::ScannedEntry> ZFCPacker::scanTree(const fs::path& dir)
{
    kit::TreeScan tree;
    tree.scan(dir);
    return std::move(tree.entries);
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
    const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
    const Folder folderFd(folder, to);
    PackRun(items, options, progress).run(to, folderFd.get(), true);
}

void ZFCPacker::packEach(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress)
{
    packEach(items, to, progress, PackOptions{});
}

void ZFCPacker::packEach(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress,
                         const PackOptions& options)
{
    fs::create_directories(to);
    const Folder folderFd(to, to);
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
        PackRun({item}, options,
                [&](const ZFCProgress& p) {
                    // The call's own end is told once, after the sync below.
                    const bool itemDone = p.stage == ZFCProgress::Stage::assembling && p.subject.empty();
                    if (progress && !itemDone)
                        progress({p.stage, p.subject, (std::max(p.fraction, 0.0) + static_cast<double>(i)) / count});
                })
            .run(to / fileName, folderFd.get(), !kOneSyncCoversAll);
    }
    // Every package of the call, and the folder's names, at once.
    if (kOneSyncCoversAll && !items.empty())
        syncOrThrow(folderFd.get(), SyncStep::fileSystem, to);
    reportDone(progress);
}
