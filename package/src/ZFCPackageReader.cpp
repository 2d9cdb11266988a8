#include "LoomworkKit/ZFCPackageReader.h"

#include <algorithm>
#include <cerrno>
#include <istream>
#include <limits>
#include <memory>
#include <set>

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

// Writes one plug-in: folders, the files cut from the plug-in stream, then links. Every
// folder between the destination and an entry is checked with lstat, so nothing is
// written through a link.
class Extraction
{
public:
    Extraction(const ZFCPlugin& plugin, fs::path dest) : m_dest(std::move(dest))
    {
        for (const ZFCEntry& entry : plugin.items) {
            if (entry.type == "file")
                m_files.push_back(&entry);
            else if (entry.type == "link")
                m_links.push_back(&entry);
        }
        std::stable_sort(m_files.begin(), m_files.end(), [](const ZFCEntry* a, const ZFCEntry* b) {
            return a->position.value_or(0) < b->position.value_or(0);
        });
        m_verified.insert(m_dest.string());
    }

    void makeDirectories(const ZFCPlugin& plugin)
    {
        for (const ZFCEntry& entry : plugin.items) {
            if (entry.type != "directory")
                continue;
            const auto parts = componentsInside(m_dest, entry.path);
            ensureFolders(entry.path, parts, parts.size(), true);
        }
    }

    // One chunk's plaintext.
    void feed(const uint8_t* bytes, std::size_t length)
    {
        while (length > 0) {
            if (!m_out.isOpen()) {
                if (m_next >= m_files.size())
                    throw failure(Kind::plaintextOverrun);
                openNext();
            }
            const auto n = static_cast<std::size_t>(std::min<int64_t>(m_remaining, static_cast<int64_t>(length)));
            if (n >= 1) {
                if (m_inflating) {
                    if (m_inflater->inited() && !m_inflater->reachedEnd())
                        m_inflater->append({bytes, n});
                } else {
                    m_out.write(bytes, n);
                }
                m_remaining -= static_cast<int64_t>(n);
                bytes += n;
                length -= n;
            }
            if (m_remaining < 1)
                completeCurrent();
        }
    }

    // After the chunk stream: a file cut short, or a file with bytes the stream never
    // reached, means the package is damaged. Empty files past the last byte are created.
    void finishFiles()
    {
        if (m_out.isOpen()) {
            closeCurrent();
            throw failure(Kind::streamTruncated);
        }
        while (m_next < m_files.size()) {
            const ZFCEntry& entry = *m_files[m_next];
            if (entry.storedSize() > 0 || entry.isCompressed())
                throw failure(Kind::streamTruncated);
            openNext();
            completeCurrent();
        }
    }

    void makeLinks()
    {
        // Links may have replaced folders checked earlier: check afresh from here on.
        m_verified.clear();
        m_verified.insert(m_dest.string());
        for (const ZFCEntry* entry : m_links) {
            const auto parts = componentsInside(m_dest, entry->path);
            const fs::path path = ensureFolders(entry->path, parts, parts.size() - 1, false);
            const auto target = entry->link ? ZFCPackageReader::safeLinkTarget(*entry->link, path, m_dest) : std::nullopt;
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

    void abandon() noexcept { closeCurrent(); }

private:
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

    void openNext()
    {
        const ZFCEntry& entry = *m_files[m_next];
        const auto parts = componentsInside(m_dest, entry.path);
        const fs::path path = ensureFolders(entry.path, parts, parts.size() - 1, true);
        m_remaining = entry.storedSize();
        // Opened first; an item in the way (a repeated path) is removed only then.
        constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::open(path.c_str(), flags, 0666);
        if (fd < 0 && errno == EEXIST) {
            removeExisting(path);
            fd = ::open(path.c_str(), flags, 0666);
        }
        if (fd < 0)
            throw failure(Kind::fileCreateFailed, path.string());
        m_out = ZFCFileHandle::adopt(fd, path);
        if (entry.isCompressed()) {
            // One inflater for all the files, reset for each.
            const int64_t limit = entry.size.value_or(-1);
            if (m_inflater ? !m_inflater->reset(m_out, limit) : !(m_inflater = ZFCInflater::create(m_out, limit)))
                throw failure(Kind::inflaterInitFailed, path.string());
            m_inflating = true;
        }
    }

    void completeCurrent()
    {
        if (m_inflating && m_inflater->inited()) {
            const bool complete = m_inflater->reachedEnd();
            m_inflater->end();
            if (!complete) {
                closeCurrent();
                throw failure(Kind::streamTruncated);
            }
        }
        closeCurrent();
        ++m_next;
    }

    void closeCurrent() noexcept
    {
        if (m_inflating)
            m_inflater->end();
        m_inflating = false;
        m_out.close();
    }

    fs::path m_dest;
    std::vector<const ZFCEntry*> m_files;
    std::vector<const ZFCEntry*> m_links;
    std::set<std::string> m_verified;
    std::size_t m_next = 0;
    ZFCFileHandle m_out;
    std::unique_ptr<ZFCInflater> m_inflater;
    bool m_inflating = false;
    int64_t m_remaining = 0;
};

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

ZFCPackageReader::ZFCPackageReader(const fs::path& url) : m_file(ZFCFileHandle::openForReading(url))
{
    uint8_t header[kit::kHeaderSize];
    std::size_t got = 0;
    try {
        m_fileSize = m_file.size();
        got = m_file.readAt(header, sizeof header, 0);
    } catch (const fs::filesystem_error&) {
        throw ZFCPackageError::fileTooSmall();
    }
    if (got < sizeof header)
        throw ZFCPackageError::fileTooSmall();

    const int32_t m = kit::readLengthHeader(header);
    // The length is checked against the bytes really there before anything is allocated.
    if (m < 1 || m > m_fileSize - static_cast<int64_t>(kit::kHeaderSize))
        throw ZFCPackageError::metadataCorrupted();
    if (m < kit::kMinSealedLength)
        throw ZFCPackageError::metadataCorrupted();
    uint8_t iv[16];
    try {
        got = m_file.readAt(iv, sizeof iv, kit::kHeaderSize);
    } catch (const fs::filesystem_error&) {
        throw ZFCPackageError::metadataCorrupted();
    }
    if (got < sizeof iv)
        throw ZFCPackageError::metadataCorrupted();
    // Decrypted and parsed piece by piece: memory follows the records, not the block.
    SealedText text(m_file, static_cast<int64_t>(kit::kHeaderSize) + 16, m - 16, iv);
    std::istream in(&text);
    auto plugins = kit::decodeMetadata(in);
    m_dataOffset = static_cast<int64_t>(kit::kHeaderSize) + m;
    for (ZFCPlugin& plugin : plugins) {
        int64_t absolute = 0;
        int64_t end = 0;
        if (plugin.position < 0 || plugin.eSize < 0 || plugin.size < 0 || !checkedAdd(plugin.position, m_dataOffset, absolute) ||
            !checkedAdd(absolute, plugin.eSize, end))
            throw ZFCPackageError::metadataCorrupted();
        for (const ZFCEntry& entry : plugin.items) {
            if (!nonNegative(entry.size) || !nonNegative(entry.position) || !nonNegative(entry.stored))
                throw ZFCPackageError::metadataCorrupted();
        }
        plugin.position = absolute;
    }
    m_plugins = std::move(plugins);
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
    std::string folder;
    if (name)
        folder = kit::trimWhitespace(*name);
    if (folder.empty())
        folder = plugin.name;
    folder = safeName(folder);
    if (folder.empty())
        throw ZFCPackageError::metadataCorrupted();

    int64_t end = 0;
    if (plugin.position < 0 || plugin.eSize < 0 || !checkedAdd(plugin.position, plugin.eSize, end))
        throw ZFCPackageError::metadataCorrupted();

    const fs::path dest = root / folder;
    struct stat st {};
    if (::lstat(dest.c_str(), &st) == 0) {
        if (!overwrite)
            return;
        fs::remove_all(dest);
    }
    fs::create_directories(dest);

    Extraction extraction(plugin, dest);
    try {
        extraction.makeDirectories(plugin);
        std::vector<uint8_t> chunk;
        int64_t offset = plugin.position;
        int64_t consumed = 0;
        while (offset < end) {
            uint8_t header[kit::kHeaderSize];
            if (m_file.readAt(header, sizeof header, offset) != sizeof header)
                throw ZFCPackageError::failure(Kind::chunkHeaderTruncated, offset);
            const int64_t length = kit::readLengthHeader(header);
            // Refused before allocating: too short to hold an IV and a byte, longer than a
            // sealed 1 MiB piece, or running past this plug-in's stream.
            if (length < kit::kMinSealedLength || length > kit::kMaxChunkLength ||
                length > end - offset - static_cast<int64_t>(kit::kHeaderSize))
                throw ZFCPackageError::failure(Kind::chunkLengthInvalid, length);
            chunk.resize(static_cast<std::size_t>(length));
            const int64_t bodyOffset = offset + static_cast<int64_t>(kit::kHeaderSize);
            if (m_file.readAt(chunk.data(), chunk.size(), bodyOffset) != chunk.size())
                throw ZFCPackageError::failure(Kind::chunkBodyTruncated, bodyOffset);
            kit::cryptInPlace(chunk.data() + 16, chunk.size() - 16, chunk.data());
            extraction.feed(chunk.data() + 16, chunk.size() - 16);
            consumed += length;
            offset = bodyOffset + length;
            if (progress) {
                progress({ZFCProgress::Stage::decrypting, plugin.name,
                          static_cast<double>(consumed) / static_cast<double>(std::max<int64_t>(plugin.eSize, 1))});
            }
        }
        extraction.finishFiles();
        extraction.makeLinks();
    } catch (...) {
        extraction.abandon();
        throw;
    }
    if (progress)
        progress({ZFCProgress::Stage::extracting, plugin.name, 1.0});
}

void ZFCPackageReader::extractAll(const fs::path& root, const ZFCProgressCallback& progress)
{
    for (const ZFCPlugin& plugin : m_plugins) {
        const auto type = plugin.pluginType();
        const fs::path folder = root / std::string(type ? type->directoryName() : kOtherCategoryDirectory);
        extract(plugin, folder, std::nullopt, true, progress);
    }
}
