#include "LoomworkKit/ZFCPackageReader.h"

#include <algorithm>
#include <deque>
#include <istream>
#include <memory>

#include <sys/stat.h>

#include "DestinationTree.h"
#include "KitInternal.h"
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "StreamExtraction.h"

namespace fs = std::filesystem;

namespace {

constexpr char kKeyText[] = "a41c7e09b3d85f26c0e97b14d2a6f853";

bool checkedAdd(int64_t a, int64_t b, int64_t& sum)
{
    return !__builtin_add_overflow(a, b, &sum);
}

bool nonNegative(const std::optional<int64_t>& value) { return !value || *value >= 0; }

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
    std::vector<uint8_t> plain(sealed.begin() + kit::kIvSize, sealed.end());
    kit::cryptInPlace(plain.data(), plain.size(), sealed.data());
    return plain;
}

namespace {

// Checks each record as it is parsed (no negative or overflowing offset or size) and makes
// the plug-in's position a file offset before handing the record on.
class CheckedRecords : public kit::MetadataVisitor
{
public:
    CheckedRecords(int64_t dataOffset, int64_t fileSize, kit::MetadataVisitor& next)
        : m_dataOffset(dataOffset), m_fileSize(fileSize), m_next(next)
    {
    }

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
        // Known before anything is extracted: a package cut short is refused when it is listed.
        if (end > m_fileSize)
            throw ZFCPackageError::incomplete(plugin.name);
        plugin.position = absolute;
        return m_next.plugin(std::move(plugin));
    }

private:
    int64_t m_dataOffset;
    int64_t m_fileSize;
    kit::MetadataVisitor& m_next;
};

// `path` as extraction reads it: "\" taken as "/", empty components dropped.
std::string plainPath(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        c = c == '\\' ? '/' : c;
        if (c != '/' || (!out.empty() && out.back() != '/'))
            out.push_back(c);
    }
    if (!out.empty() && out.back() == '/')
        out.pop_back();
    return out;
}

bool isPlainPath(std::string_view path)
{
    return !path.empty() && path.front() != '/' && path.back() != '/' && path.find('\\') == std::string_view::npos &&
           path.find("//") == std::string_view::npos;
}

// True when two of the entries name one path, or when an entry that is not a folder stands
// where another entry needs a folder ("a" a file or a link, "a/b" an entry): extraction would
// let one silently replace the other. Most paths are compared where they are; only those
// written otherwise are copied.
bool pathsCollide(const std::vector<ZFCEntry>& items)
{
    struct Named {
        std::string_view path;
        bool folder;
        bool operator<(const Named& other) const { return path < other.path; }
    };
    std::deque<std::string> rewritten;  // its strings stay where they are as it grows
    std::vector<Named> named;
    named.reserve(items.size());
    for (const ZFCEntry& entry : items) {
        const std::string_view path =
            isPlainPath(entry.path) ? std::string_view(entry.path) : rewritten.emplace_back(plainPath(entry.path));
        named.push_back({path, entry.type == "directory"});
    }
    std::sort(named.begin(), named.end());
    const auto samePath = [](const Named& a, const Named& b) { return a.path == b.path; };
    if (std::adjacent_find(named.begin(), named.end(), samePath) != named.end())
        return true;
    std::string below; // "<path>/", the least path beneath an entry
    for (const Named& entry : named) {
        if (entry.folder)
            continue;
        below.assign(entry.path).push_back('/');
        const auto next = std::lower_bound(named.begin(), named.end(), Named{below, false});
        if (next != named.end() && next->path.starts_with(below))
            return true;
    }
    return false;
}

// Keeps every record, refusing a plug-in whose paths collide (see pathsCollide): the writer
// never writes one.
class UniquePathsCollector : public kit::MetadataCollector
{
public:
    bool plugin(ZFCPlugin&& plugin) override
    {
        return MetadataCollector::plugin(std::move(plugin)) && !pathsCollide(plugins.back().items);
    }
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
    uint8_t iv[kit::kIvSize];
    try {
        got = file.readAt(iv, sizeof iv, kit::kHeaderSize);
    } catch (const fs::filesystem_error&) {
        throw ZFCPackageError::metadataCorrupted();
    }
    if (got < sizeof iv)
        throw ZFCPackageError::metadataCorrupted();
    const int64_t dataOffset = static_cast<int64_t>(kit::kHeaderSize) + m;
    SealedText text(file, static_cast<int64_t>(kit::kHeaderSize + kit::kIvSize), m - static_cast<int64_t>(kit::kIvSize), iv);
    std::istream in(&text);
    CheckedRecords checked(dataOffset, fileSize, visitor);
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
    UniquePathsCollector collector;
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

void ZFCPackageReader::checkDepth(const ZFCPlugin& plugin)
{
    for (const ZFCEntry& entry : plugin.items) {
        // Components as extraction reads them: "\" taken as "/", empty ones dropped.
        std::size_t components = 0;
        bool inName = false;
        for (const char c : entry.path) {
            const bool separator = c == '/' || c == '\\';
            components += !separator && !inName;
            inName = !separator;
        }
        if (components > ZFCFolderStack::maxDepth)
            throw ZFCPackageError::treeTooDeepInPackage(plugin.name, entry.path);
    }
}

fs::path ZFCPackageReader::safeChild(const fs::path& root, std::string_view rel)
{
    fs::path child = root;
    for (const auto& part : kit::storedComponents(rel))
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
    const kit::ExtractTarget target{.plugin = &plugin, .root = root, .name = name, .overwrite = overwrite};
    const fs::path dest = kit::destinationOf(target);
    kit::streamEnd(plugin);
    struct stat st {};
    if (!overwrite && ::lstat(dest.c_str(), &st) == 0)
        return;
    kit::extractTargets(m_file, {target}, progress);
}

void ZFCPackageReader::extractMany(const std::vector<Request>& requests, const ZFCProgressCallback& progress,
                                   std::size_t* failedAt)
{
    std::vector<kit::ExtractTarget> targets;
    targets.reserve(requests.size());
    for (const Request& request : requests)
        targets.push_back({.plugin = request.plugin, .root = request.root, .name = request.name, .overwrite = request.overwrite});
    kit::extractTargets(m_file, targets, progress, failedAt);
}

void ZFCPackageReader::extractAll(const fs::path& root, const ZFCProgressCallback& progress)
{
    std::vector<kit::ExtractTarget> targets;
    for (const ZFCPlugin& plugin : m_plugins) {
        const auto type = plugin.pluginType();
        targets.push_back({.plugin = &plugin,
                           .root = root / std::string(type ? type->directoryName() : kOtherCategoryDirectory),
                           .overwrite = true});
    }
    kit::extractTargets(m_file, targets, progress);
}
