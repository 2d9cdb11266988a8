// The metadata JSON without a document tree: records are written straight to text (in the
// key order and escaping the tree encoder used, so packages stay byte-identical) and read
// with a streaming parse straight into records, with caps on entries, nesting and token
// lengths so that hostile metadata cannot make memory grow past what the records need.

#include <cstring>
#include <iterator>
#include <limits>

#include "KitInternal.h"
#include "LoomworkKit/ZFCPackageError.h"

namespace kit {

namespace {

// Length of the DFA-accepted prefix at `i` before a rejected byte (0 when the lead byte
// itself is invalid), and whether a whole sequence was accepted.
std::size_t acceptedPrefix(std::string_view s, std::size_t i, bool& whole)
{
    const auto c = static_cast<unsigned char>(s[i]);
    whole = false;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
        whole = true;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4;
    else
        return 0;
    if (c == 0xE0)
        low = 0xA0;
    else if (c == 0xED)
        high = 0x9F;
    else if (c == 0xF0)
        low = 0x90;
    else if (c == 0xF4)
        high = 0x8F;
    std::size_t k = 1;
    for (; k < n && i + k < s.size(); ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if (cc < (k == 1 ? low : 0x80) || cc > (k == 1 ? high : 0xBF))
            return k;
    }
    whole = k == n;
    return k;
}

void appendString(std::string& out, std::string_view s)
{
    out.push_back('"');
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            bool whole = false;
            const std::size_t n = acceptedPrefix(s, i, whole);
            if (whole)
                out.append(s.substr(i, n));
            else
                out.append("\xEF\xBF\xBD");  // as the tree encoder's replacement
            i += std::max<std::size_t>(n, 1);
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u <= 0x1F) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out.push_back(hex[u >> 4]);
                out.push_back(hex[u & 0xF]);
            } else {
                out.push_back(c);
            }
        }
        ++i;
    }
    out.push_back('"');
}

void appendKey(std::string& out, bool& first, const char* key)
{
    if (!first)
        out.push_back(',');
    first = false;
    out.push_back('"');
    out += key;
    out += "\":";
}

} // namespace

bool isValidUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        bool whole = false;
        const std::size_t n = acceptedPrefix(s, i, whole);
        if (!whole)
            return false;
        i += n;
    }
    return true;
}

// Keys in the order of a sorted map, as the tree encoder wrote them.
void appendJson(std::string& out, const ZFCEntry& e)
{
    bool first = true;
    out.push_back('{');
    if (e.cm) {
        appendKey(out, first, "cm");
        appendString(out, *e.cm);
    }
    if (e.link) {
        appendKey(out, first, "link");
        appendString(out, *e.link);
    }
    appendKey(out, first, "path");
    appendString(out, e.path);
    if (e.position) {
        appendKey(out, first, "position");
        out += std::to_string(*e.position);
    }
    if (e.size) {
        appendKey(out, first, "size");
        out += std::to_string(*e.size);
    }
    if (e.stored) {
        appendKey(out, first, "stored");
        out += std::to_string(*e.stored);
    }
    appendKey(out, first, "type");
    appendString(out, e.type);
    out.push_back('}');
}

void appendJson(std::string& out, const ZFCPlugin& p)
{
    out += "{\"eSize\":";
    out += std::to_string(p.eSize);
    out += ",\"items\":[";
    for (std::size_t i = 0; i < p.items.size(); ++i) {
        if (i)
            out.push_back(',');
        appendJson(out, p.items[i]);
    }
    out += "],\"name\":";
    appendString(out, p.name);
    out += ",\"position\":";
    out += std::to_string(p.position);
    out += ",\"size\":";
    out += std::to_string(p.size);
    out += ",\"type\":";
    appendString(out, p.type);
    out.push_back('}');
}

// ---- reading -------------------------------------------------------------------------

bool TokenGuard::scan(const char* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (m_inString) {
            if (++m_run > kMaxStringBytes)
                return false;
            if (m_escape)
                m_escape = false;
            else if (c == '\\')
                m_escape = true;
            else if (c == '"')
                m_inString = false;
        } else if (c == '"') {
            m_inString = true;
            m_run = 0;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '[' || c == ']' || c == '{' || c == '}' ||
                   c == ':' || c == ',') {
            m_run = 0;
        } else if (++m_run > kMaxTokenBytes) {
            return false;
        }
    }
    return true;
}

namespace {

enum Field : unsigned {
    fName = 1,
    fType = 2,
    fItems = 4,
    fSize = 8,
    fESize = 16,
    fPosition = 32,
    fPath = 64,
    fLink = 128,
    fStored = 256,
    fCm = 512,
    fUnknown = 1024,
};

unsigned pluginField(const std::string& key)
{
    if (key == "name") return fName;
    if (key == "type") return fType;
    if (key == "items") return fItems;
    if (key == "size") return fSize;
    if (key == "eSize") return fESize;
    if (key == "position") return fPosition;
    return fUnknown;
}

unsigned entryField(const std::string& key)
{
    if (key == "type") return fType;
    if (key == "path") return fPath;
    if (key == "size") return fSize;
    if (key == "position") return fPosition;
    if (key == "link") return fLink;
    if (key == "stored") return fStored;
    if (key == "cm") return fCm;
    return fUnknown;
}

// Builds records as the parser reports values and hands them to the visitor. Returning
// false stops the parse: the metadata is refused.
class RecordBuilder
{
public:
    using json = nlohmann::json;

    explicit RecordBuilder(MetadataVisitor& visitor) : m_visitor(visitor) {}
    bool complete() const { return m_where == Where::done; }

    bool null()
    {
        if (m_skip)
            return true;
        if (m_where == Where::entry && (m_field & (fSize | fPosition | fLink | fStored | fCm))) {
            switch (m_field) {
            case fSize: m_entry.size.reset(); break;
            case fPosition: m_entry.position.reset(); break;
            case fLink: m_entry.link.reset(); break;
            case fStored: m_entry.stored.reset(); break;
            default: m_entry.cm.reset(); break;
            }
            return true;
        }
        return scalarIgnored();
    }
    bool boolean(bool) { return m_skip || scalarIgnored(); }
    bool number_integer(json::number_integer_t value) { return m_skip || integer(value); }
    bool number_unsigned(json::number_unsigned_t value)
    {
        if (m_skip)
            return true;
        if (value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return scalarIgnored();
        return integer(static_cast<int64_t>(value));
    }
    bool number_float(json::number_float_t, const json::string_t&) { return m_skip || scalarIgnored(); }
    bool binary(json::binary_t&) { return false; }

    bool string(json::string_t& value)
    {
        if (m_skip)
            return true;
        if (m_where == Where::plugin) {
            if (m_field == fName)
                m_plugin.name = std::move(value);
            else if (m_field == fType)
                m_plugin.type = std::move(value);
            else
                return scalarIgnored();
        } else if (m_where == Where::entry) {
            if (m_field == fType)
                m_entry.type = std::move(value);
            else if (m_field == fPath)
                m_entry.path = std::move(value);
            else if (m_field == fLink)
                m_entry.link = std::move(value);
            else if (m_field == fCm)
                m_entry.cm = std::move(value);
            else
                return scalarIgnored();
        } else {
            return false;
        }
        m_seen |= m_field;
        return true;
    }

    bool key(json::string_t& key)
    {
        if (m_skip)
            return true;
        m_field = m_where == Where::plugin ? pluginField(key) : entryField(key);
        return true;
    }

    bool start_object(std::size_t)
    {
        if (!enter())
            return false;
        if (m_skip)
            return ++m_skip, true;
        switch (m_where) {
        case Where::plugins:
            m_where = Where::plugin;
            m_plugin = ZFCPlugin{};
            m_seen = 0;
            return true;
        case Where::items:
            if (++m_entries > kMaxMetadataEntries)
                return false;
            m_where = Where::entry;
            m_entry = ZFCEntry{};
            m_seen = 0;
            return true;
        case Where::plugin:
        case Where::entry:
            return startIgnored();
        default:
            return false;
        }
    }

    bool end_object()
    {
        --m_depth;
        if (m_skip)
            return --m_skip, true;
        if (m_where == Where::plugin) {
            if ((m_seen & (fName | fType | fItems | fSize | fESize | fPosition)) != (fName | fType | fItems | fSize | fESize | fPosition))
                return false;
            m_where = Where::plugins;
            return m_visitor.plugin(std::move(m_plugin));
        }
        if ((m_seen & (fType | fPath)) != (fType | fPath))
            return false;
        if (!m_visitor.entry(std::move(m_entry)))
            return false;
        m_where = Where::items;
        m_seen = m_pluginSeen;
        return true;
    }

    bool start_array(std::size_t)
    {
        if (!enter())
            return false;
        if (m_skip)
            return ++m_skip, true;
        switch (m_where) {
        case Where::top:
            m_where = Where::plugins;
            return true;
        case Where::plugin:
            if (m_field == fItems) {
                m_seen |= fItems;
                m_pluginSeen = m_seen;
                m_where = Where::items;
                return true;
            }
            return startIgnored();
        case Where::entry:
            return startIgnored();
        default:
            return false;
        }
    }

    bool end_array()
    {
        --m_depth;
        if (m_skip)
            return --m_skip, true;
        if (m_where == Where::items) {
            m_where = Where::plugin;
            m_seen = m_pluginSeen;
        } else {
            m_where = Where::done;
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    enum class Where { top, plugins, plugin, items, entry, done };

    bool enter() { return ++m_depth <= kMaxMetadataNesting; }
    // A container value: ignored under an unknown key, refused under a known one.
    bool startIgnored()
    {
        if (m_field != fUnknown)
            return false;
        m_skip = 1;
        return true;
    }
    // A scalar that is not a value of the record: fine under an unknown key only.
    bool scalarIgnored() const { return (m_where == Where::plugin || m_where == Where::entry) && m_field == fUnknown; }

    bool integer(int64_t value)
    {
        if (m_where == Where::plugin) {
            if (m_field == fSize)
                m_plugin.size = value;
            else if (m_field == fESize)
                m_plugin.eSize = value;
            else if (m_field == fPosition)
                m_plugin.position = value;
            else
                return scalarIgnored();
        } else if (m_where == Where::entry) {
            if (m_field == fSize)
                m_entry.size = value;
            else if (m_field == fPosition)
                m_entry.position = value;
            else if (m_field == fStored)
                m_entry.stored = value;
            else
                return scalarIgnored();
        } else {
            return false;
        }
        m_seen |= m_field;
        return true;
    }

    MetadataVisitor& m_visitor;
    Where m_where = Where::top;
    ZFCPlugin m_plugin;
    ZFCEntry m_entry;
    unsigned m_field = fUnknown;
    unsigned m_seen = 0;
    unsigned m_pluginSeen = 0;
    int m_skip = 0;
    int m_depth = 0;
    std::size_t m_entries = 0;
};

template <typename Input>
void decodeWith(Input&& input, MetadataVisitor& visitor)
{
    RecordBuilder builder(visitor);
    bool ok = false;
    // Only the parser's own errors mean damaged text: memory that runs out, or a visitor's
    // failure, goes to the caller as it is.
    try {
        ok = nlohmann::json::sax_parse(std::forward<Input>(input), &builder, nlohmann::json::input_format_t::json, true);
    } catch (const nlohmann::json::exception&) {
        ok = false;
    }
    if (!ok || !builder.complete())
        throw ZFCPackageError::metadataCorrupted();
}

} // namespace

bool MetadataCollector::entry(ZFCEntry&& entry)
{
    constexpr std::size_t kBlock = 4096;
    if (m_blocks.empty() || m_blocks.back().size() == kBlock) {
        m_blocks.emplace_back();
        m_blocks.back().reserve(kBlock);
    }
    m_blocks.back().push_back(std::move(entry));
    return true;
}

bool MetadataCollector::plugin(ZFCPlugin&& plugin)
{
    std::size_t count = 0;
    for (const auto& block : m_blocks)
        count += block.size();
    plugin.items.reserve(count);
    for (auto& block : m_blocks) {
        std::move(block.begin(), block.end(), std::back_inserter(plugin.items));
        std::vector<ZFCEntry>().swap(block);
    }
    m_blocks.clear();
    plugins.push_back(std::move(plugin));
    return true;
}

std::vector<ZFCPlugin> decodeMetadata(std::string_view json)
{
    TokenGuard guard;
    if (!guard.scan(json.data(), json.size()))
        throw ZFCPackageError::metadataCorrupted();
    MetadataCollector collector;
    decodeWith(json, collector);
    return std::move(collector.plugins);
}

void decodeMetadata(std::istream& in, MetadataVisitor& visitor) { decodeWith(in, visitor); }

} // namespace kit
