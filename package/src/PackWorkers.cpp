#include "PackWorkers.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include <fcntl.h>
#if defined(__linux__)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "KitInternal.h"
#include "LoomworkKit/ZFCDeflater.h"
#include "LoomworkKit/ZFCodec.h"

namespace kit::packer {

namespace {

constexpr int64_t kMinCompressed = 513;
constexpr int64_t kMaxCompressed = 512LL * 1024 * 1024;
constexpr int64_t kCompressWithoutSample = 8LL * 1024 * 1024;
constexpr double kCompressibleFloor = 0.94;
constexpr std::size_t kReadPiece = 256 * 1024;

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

// Opens a file found by the scan below its item's folder, refusing a link anywhere on the
// way (ELOOP) where the system can (openat2); elsewhere only its last component is checked.
int openFile(const auto& file)
{
    constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
#if defined(__linux__) && defined(SYS_openat2)
    struct open_how how {};
    how.flags = flags;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const long fd = ::syscall(SYS_openat2, file.root, file.relative.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return int(fd);
#endif
    return ::openat(file.root, file.relative.c_str(), flags);
}

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

} // namespace

// Raw deflate of a whole buffer at once into one byte less than its length, reused across
// files: a stream that does not end there would not make the file smaller.
class BoundedDeflater
{
public:
    BoundedDeflater(int level, int windowBits, int memLevel)
    {
        m_ok = deflateInit2(&m_strm, level, Z_DEFLATED, -windowBits, memLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~BoundedDeflater()
    {
        if (m_ok)
            deflateEnd(&m_strm);
    }
    BoundedDeflater(const BoundedDeflater&) = delete;
    BoundedDeflater& operator=(const BoundedDeflater&) = delete;

    // The deflated length, written to `out` (room for length - 1 bytes); 0 when that is not
    // smaller or zlib fails.
    std::size_t smaller(const uint8_t* data, std::size_t length, uint8_t* out)
    {
        if (!m_ok || length < 2 || deflateReset(&m_strm) != Z_OK)
            return 0;
        m_strm.next_in = const_cast<Bytef*>(data);
        m_strm.avail_in = static_cast<uInt>(length);
        m_strm.next_out = out;
        m_strm.avail_out = static_cast<uInt>(length - 1);
        if (deflate(&m_strm, Z_FINISH) != Z_STREAM_END)
            return 0;
        return length - 1 - m_strm.avail_out;
    }

private:
    z_stream m_strm{};
    bool m_ok = false;
};

struct Deflating::Tools
{
    std::array<std::unique_ptr<BoundedDeflater>, 16> small;
    std::unique_ptr<ZFCDeflater> stream;
    BoundedDeflater probe{1, 15, 8};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kReadPiece);
    std::vector<uint8_t> packed = std::vector<uint8_t>(kSampleBytes);
    std::vector<uint8_t> sample;
};

Deflating::Deflating(const ZFCPacker::PackOptions& options, unsigned workers) : m_options(options), m_tools(workers) {}

Deflating::~Deflating() = default;

void Deflating::run(Job& job, Turn& turn)
{
    std::unique_ptr<Tools>& tools = m_tools[turn.worker()];
    if (!tools)
        tools = std::make_unique<Tools>();
    for (Job::File& file : job.files) {
        try {
            if (!process(turn, job, file, *tools))
                return;  // stopped
        } catch (...) {
            file.outcome.error = std::current_exception();
            return;  // the writer stops there
        }
    }
}

BoundedDeflater* Deflating::smallDeflater(int64_t size, Tools& tools) const
{
    const int bits = windowBitsFor(size);
    std::unique_ptr<BoundedDeflater>& deflater = tools.small[static_cast<std::size_t>(bits)];
    if (!deflater)
        deflater = std::make_unique<BoundedDeflater>(m_options.compressLevel, bits, std::min(9, bits - 6));
    return deflater.get();
}

bool Deflating::process(Turn& turn, Job& job, Job::File& file, Tools& tools)
{
    // Anything but a regular file is stored empty without being opened (a FIFO would
    // block, a device could be endless).
    if (!file.regular)
        return true;
    const int fd = openFile(file);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENXIO)
            return true;  // swapped for a link or a socket since the scan
        kit::throwErrno("cannot open", file.path);
    }
    ZFCFileHandle in = ZFCFileHandle::adopt(fd, file.path);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        kit::throwErrno("cannot stat", file.path);
    if (!S_ISREG(st.st_mode))
        return true;  // swapped since the scan
    // Reads stop at this size: a file that grows meanwhile is stored as it was here.
    const int64_t size = st.st_size;
    Outcome& outcome = file.outcome;
    outcome.size = size;
    if (size <= static_cast<int64_t>(kSampleBytes))
        return packSmall(turn, job, outcome, in, size, tools);

    outcome.how = Outcome::How::copy;
    if (!m_options.compressEnabled || size > kMaxCompressed) {
        outcome.file = std::move(in);
        return true;
    }
    if (size > kCompressWithoutSample) {
        if (sampleLooksCompressible(in, tools.sample))
            outcome.how = Outcome::How::compressInline;
        outcome.file = std::move(in);
        return true;
    }
    return packMedium(turn, job, outcome, in, size, tools);
}

bool Deflating::packMedium(Turn& turn, Job& job, Outcome& outcome, ZFCFileHandle& in, int64_t size, Tools& tools)
{
    std::vector<uint8_t>& buffer = tools.buffer;
    const std::size_t head = in.readAt(buffer.data(), kSampleBytes, 0);
    if (!tools.stream)
        tools.stream = ZFCDeflater::create(m_options.compressLevel, 9, 15, ZFCDeflater::Sink());
    std::vector<uint8_t>& out = job.bytes;
    const std::size_t start = out.size();
    bool smaller = true;  // the stream so far is shorter than the file
    bool running = true;  // the queue has not stopped
    const auto collect = [&](const uint8_t* bytes, std::size_t count) {
        smaller = smaller && static_cast<int64_t>(out.size() - start + count) < size;
        running = running && (!smaller || turn.reserve(static_cast<int64_t>(count)));
        if (smaller && running)
            out.insert(out.end(), bytes, bytes + count);
    };
    if (!tools.probe.smaller(buffer.data(), head, tools.packed.data()) || !tools.stream || !tools.stream->reset(collect)) {
        outcome.file = std::move(in);
        return true;
    }
    int64_t bytesRead = 0;
    for (std::size_t n = head; n > 0 && smaller && running;) {
        tools.stream->append({buffer.data(), n});
        bytesRead += static_cast<int64_t>(n);
        if (bytesRead >= size)
            break;
        n = in.readAt(buffer.data(), static_cast<std::size_t>(std::min<int64_t>(kReadPiece, size - bytesRead)), bytesRead);
    }
    if (smaller && running)
        tools.stream->finish();
    if (!running)
        return false;
    if (smaller && tools.stream->written() < bytesRead) {
        outcome.how = Outcome::How::compressed;
        outcome.size = bytesRead;
        outcome.offset = start;
        outcome.length = out.size() - start;
        return true;
    }
    turn.giveBack(static_cast<int64_t>(out.size() - start));
    out.resize(start);
    outcome.file = std::move(in);
    return true;
}

bool Deflating::packSmall(Turn& turn, Job& job, Outcome& outcome, ZFCFileHandle& in, int64_t size, Tools& tools)
{
    if (!turn.reserve(size))
        return false;
    const std::size_t start = job.bytes.size();
    job.bytes.resize(start + static_cast<std::size_t>(size));
    uint8_t* const bytes = job.bytes.data() + start;
    const std::size_t n = size > 0 ? in.readAt(bytes, static_cast<std::size_t>(size), 0) : 0;
    outcome.how = Outcome::How::memory;
    outcome.size = static_cast<int64_t>(n);
    outcome.offset = start;
    outcome.length = n;
    if (m_options.compressEnabled && static_cast<int64_t>(n) >= kMinCompressed) {
        if (const std::size_t length = smallDeflater(size, tools)->smaller(bytes, n, tools.packed.data())) {
            std::copy_n(tools.packed.data(), length, bytes);
            outcome.how = Outcome::How::compressed;
            outcome.length = length;
        }
    }
    job.bytes.resize(start + outcome.length);
    turn.giveBack(size - static_cast<int64_t>(outcome.length));
    return true;
}

} // namespace kit::packer
