#include "LoomworkKit/ZFCPacker.h"

#include <algorithm>
#include <cerrno>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KitInternal.h"
#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCDeflater.h"
#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCodec.h"

namespace fs = std::filesystem;

std::atomic<int32_t> ZFCPacker::compressLevel{6};
std::atomic<bool> ZFCPacker::compressEnabled{true};

namespace {

constexpr int64_t kMinCompressed = 513;
constexpr int64_t kMaxCompressed = 512LL * 1024 * 1024;
constexpr int64_t kCompressWithoutSample = 8LL * 1024 * 1024;
constexpr int64_t kProgressStep = 16LL * 1024 * 1024;
constexpr double kCompressibleFloor = 0.94;

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
        const std::size_t n = file.readAt(buffer.data(), kit::kPieceSize, 0);
        if (n == 0)
            return false;
        return ZFCodec::isWorthCompressing({buffer.data(), n}, kCompressibleFloor);
    } catch (const std::exception&) {
        return false;
    }
}

struct StoredFile
{
    int64_t size = 0;    // bytes read from the source
    int64_t stored = 0;  // bytes in the plug-in stream
    bool compressed = false;
};

int64_t copyAll(ZFCFileHandle& in, ZFCFileHandle& out, std::vector<uint8_t>& buffer)
{
    int64_t copied = 0;
    for (;;) {
        const std::size_t n = in.read(buffer.data(), kit::kPieceSize);
        if (n == 0)
            break;
        out.write(buffer.data(), n);
        copied += static_cast<int64_t>(n);
    }
    return copied;
}

// Appends one file's stored bytes to the plug-in stream. Anything but a regular file is
// stored empty without being opened (a FIFO would block, a device could be endless).
StoredFile storeFile(const fs::path& file, ZFCFileHandle& out, std::vector<uint8_t>& buffer,
                     const std::function<void(int64_t)>& readSoFar)
{
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0)
        kit::throwErrno("cannot stat", file);
    if (!S_ISREG(st.st_mode))
        return {};
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        kit::throwErrno("cannot open", file);
    ZFCFileHandle in = ZFCFileHandle::adopt(fd, file);
    if (::fstat(fd, &st) != 0)
        kit::throwErrno("cannot stat", file);
    if (!S_ISREG(st.st_mode))
        return {};  // swapped for something else since the lstat
    const int64_t size = st.st_size;

    const int64_t start = out.offset();
    const bool tryCompress = ZFCPacker::compressEnabled.load() && size >= kMinCompressed && size <= kMaxCompressed &&
                             (size <= kCompressWithoutSample || sampleLooksCompressible(in, buffer));
    if (tryCompress) {
        if (auto deflater = ZFCDeflater::create(ZFCPacker::compressLevel.load(), 9, out)) {
            int64_t bytesRead = 0;
            int64_t sinceReport = 0;
            for (;;) {
                const std::size_t n = in.read(buffer.data(), kit::kPieceSize);
                if (n == 0)
                    break;
                deflater->append({buffer.data(), n});
                bytesRead += static_cast<int64_t>(n);
                sinceReport += static_cast<int64_t>(n);
                if (sinceReport >= kProgressStep) {
                    sinceReport = 0;
                    readSoFar(bytesRead);
                }
            }
            deflater->finish();
            if (deflater->written() < bytesRead)
                return {bytesRead, deflater->written(), true};
            out.truncate(start);
            out.seek(start);
            in.seek(0);
        }
    }
    const int64_t copied = copyAll(in, out, buffer);
    return {copied, copied, false};
}

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

struct BuiltPlugin
{
    ZFCPlugin meta;
    fs::path encURL;
};

BuiltPlugin buildPlugin(const ZFCPackItem& item, const fs::path& tempDir, int64_t position, std::vector<uint8_t>& buffer,
                        const ZFCProgressCallback& progress)
{
    std::error_code ec;
    if (!fs::is_directory(item.sourceDir, ec))
        throw ZFCPackageError::sourceDirMissing(item.sourceDir.string());
    report(progress, ZFCProgress::Stage::scanning, item.name, -1.0);
    auto scanned = ZFCPacker::scanTree(item.sourceDir);

    const fs::path ipack = tempDir / (kit::newUuid() + ".ipack");
    ZFCFileHandle out = ZFCFileHandle::createForWriting(ipack);

    int64_t total = 0;
    for (const auto& s : scanned) {
        if (s.entry.type == "file")
            total += std::max<int64_t>(s.entry.size.value_or(1), 1);
    }
    total = std::max<int64_t>(total, 1);
    int64_t done = 0;
    const auto fraction = [&](int64_t value) { return static_cast<double>(value) / static_cast<double>(total); };

    ZFCPlugin meta{item.name, std::string(item.type.rawValue()), {}, 0, 0, position};
    meta.items.reserve(scanned.size());
    int64_t streamPosition = 0;
    for (auto& scannedEntry : scanned) {
        ZFCEntry& entry = scannedEntry.entry;
        if (entry.type == "file") {
            const StoredFile stored = storeFile(item.sourceDir / entry.path, out, buffer, [&](int64_t readSoFar) {
                report(progress, ZFCProgress::Stage::packing, item.name, fraction(std::min(done + readSoFar, total)));
            });
            done += std::max<int64_t>(entry.size.value_or(1), 1);
            report(progress, ZFCProgress::Stage::packing, item.name, fraction(std::min(done, total)));
            // The size is the byte count actually stored, so it always matches the content
            // even when the file changed while it was being packed.
            entry.size = stored.size;
            entry.position = streamPosition;
            entry.stored = stored.stored;
            entry.cm = stored.compressed ? std::optional<std::string>("zlib") : std::nullopt;
            entry.link.reset();
            streamPosition += stored.stored;
            meta.size += stored.size;
        }
        meta.items.push_back(std::move(entry));
    }
    out.close();

    const fs::path enc = tempDir / (kit::newUuid() + ".enc");
    meta.eSize = ZFCPacker::encryptChunkedStream(ipack, enc, [&](double f) {
        report(progress, ZFCProgress::Stage::encrypting, item.name, f);
    });
    fs::remove(ipack, ec);
    return {std::move(meta), enc};
}

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
        std::vector<uint8_t> buffer(kit::kPieceSize);
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
    if (items.empty())
        return;
    const fs::path tempDir = fs::temp_directory_path() / ("zfcp-pack-" + kit::newUuid());
    fs::create_directories(tempDir);
    RemoveOnExit tempGuard(tempDir);

    std::vector<uint8_t> buffer(kit::kPieceSize);
    std::vector<ZFCPlugin> metas;
    std::vector<fs::path> encURLs;
    int64_t position = 0;
    for (const ZFCPackItem& item : items) {
        BuiltPlugin built = buildPlugin(item, tempDir, position, buffer, progress);
        position += built.meta.eSize;
        metas.push_back(std::move(built.meta));
        encURLs.push_back(std::move(built.encURL));
    }

    const std::string json = ZFCPlugin::encodeArray(metas);
    if (static_cast<int64_t>(json.size()) + 16 > kit::kMaxHeaderValue)
        throw ZFCPackageError::ioFailure("封包元数据超过 2 GB，无法写入");
    const std::vector<uint8_t> sealed =
        encryptBuffer({reinterpret_cast<const uint8_t*>(json.data()), json.size()});

    // Written beside the destination and renamed over it at the end, so a failure never
    // leaves a half-written package or destroys an older one.
    const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
    const fs::path partial = folder / (".zfcp-" + kit::newUuid() + ".part");
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        kit::throwErrno("cannot create", to);
    // Errors name the destination the caller knows, not the temporary name.
    ZFCFileHandle out = ZFCFileHandle::adopt(fd, to);
    RemoveOnExit partialGuard(partial);

    uint8_t header[kit::kHeaderSize];
    kit::putLengthHeader(header, static_cast<int64_t>(sealed.size()));
    out.write(header, sizeof header);
    out.write(sealed.data(), sealed.size());
    for (std::size_t j = 0; j < encURLs.size(); ++j) {
        {
            ZFCFileHandle in = ZFCFileHandle::openForReading(encURLs[j]);
            copyAll(in, out, buffer);
        }
        std::error_code ec;
        fs::remove(encURLs[j], ec);
        report(progress, ZFCProgress::Stage::assembling, metas[j].name,
               static_cast<double>(j + 1) / static_cast<double>(encURLs.size()));
    }
    const int closing = out.fd();
    if (::fsync(closing) != 0 && errno != EINVAL && errno != EROFS)
        kit::throwErrno("cannot write", to);
    out.close();
    if (::rename(partial.c_str(), to.c_str()) != 0)
        kit::throwErrno("cannot replace", to);
    partialGuard.release();
    report(progress, ZFCProgress::Stage::assembling, std::string(), 1.0);
}

void ZFCPacker::packEach(const std::vector<ZFCPackItem>& items, const fs::path& to, const ZFCProgressCallback& progress)
{
    fs::create_directories(to);
    const double count = static_cast<double>(items.size());
    std::set<std::string> used;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ZFCPackItem& item = items[i];
        // The name becomes a file name: it may not climb out of `to` or hide in a sub-folder.
        const std::string base = ZFCPackageReader::safeName(item.name);
        if (base.empty())
            throw ZFCPackageError::ioFailure("无法创建文件：" + (to / (item.name + ".zfcp")).string());
        std::string fileName = base + ".zfcp";
        for (int k = 2; used.count(fileName); ++k)
            fileName = base + " " + std::to_string(k) + ".zfcp";
        used.insert(fileName);
        pack({item}, to / fileName, [&](const ZFCProgress& p) {
            if (progress)
                progress({p.stage, p.subject, (std::max(p.fraction, 0.0) + static_cast<double>(i)) / count});
        });
    }
    report(progress, ZFCProgress::Stage::assembling, std::string(), 1.0);
}
