#include "support/kit/PackageCraft.h"

#include <stdexcept>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace craft {

std::string lengthHeader(int64_t value)
{
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
    return out;
}

std::string seal(std::string_view plain)
{
    const auto sealed = ZFCPacker::encryptBuffer({reinterpret_cast<const uint8_t*>(plain.data()), plain.size()});
    return std::string(sealed.begin(), sealed.end());
}

std::string chunkStream(std::string_view plain, std::size_t piece)
{
    std::string out;
    for (std::size_t at = 0; at < plain.size(); at += piece) {
        const std::string sealed = seal(plain.substr(at, piece));
        out += lengthHeader(static_cast<int64_t>(sealed.size())) + sealed;
    }
    return out;
}

std::string package(std::string_view metadataJson, std::string_view dataArea)
{
    const std::string sealed = seal(metadataJson);
    return lengthHeader(static_cast<int64_t>(sealed.size())) + sealed + std::string(dataArea);
}

namespace {

struct Parts
{
    std::string metadata;
    std::string dataArea;
};

Parts split(const fs::path& package)
{
    const std::string bytes = readFile(package);
    if (bytes.size() < 8)
        throw std::runtime_error("package too short");
    const uint32_t m = uint32_t(uint8_t(bytes[0])) | uint32_t(uint8_t(bytes[1])) << 8 | uint32_t(uint8_t(bytes[2])) << 16 |
                       uint32_t(uint8_t(bytes[3])) << 24;
    if (m > bytes.size() - 8)
        throw std::runtime_error("metadata runs past the end of the package");
    const auto plain = ZFCPackageReader::decryptBuffer(
        {reinterpret_cast<const uint8_t*>(bytes.data()) + 8, static_cast<std::size_t>(m)});
    return {std::string(plain.begin(), plain.end()), bytes.substr(8 + m)};
}

} // namespace

std::string onePlugin(std::string_view itemsJson, std::string_view stream, std::size_t piece)
{
    const std::string data = chunkStream(stream, piece);
    const std::string meta = R"([{"name":"P","type":"effect","items":)" + std::string(itemsJson) + R"(,"size":)" +
                             std::to_string(stream.size()) + R"(,"eSize":)" + std::to_string(data.size()) +
                             R"(,"position":0}])";
    return package(meta, data);
}

std::string metadataOf(const fs::path& package)
{
    return split(package).metadata;
}

std::vector<std::string> chunksOf(const fs::path& package)
{
    const std::string data = split(package).dataArea;
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at + 8 <= data.size();) {
        const std::size_t length = uint32_t(uint8_t(data[at])) | uint32_t(uint8_t(data[at + 1])) << 8 |
                                   uint32_t(uint8_t(data[at + 2])) << 16 | uint32_t(uint8_t(data[at + 3])) << 24;
        if (length < 17 || at + 8 + length > data.size())
            throw std::runtime_error("bad chunk");
        const auto plain = ZFCPackageReader::decryptBuffer({reinterpret_cast<const uint8_t*>(data.data()) + at + 8, length});
        chunks.emplace_back(plain.begin(), plain.end());
        at += 8 + length;
    }
    return chunks;
}

std::string openedImage(const fs::path& package)
{
    const Parts parts = split(package);
    std::string image = readFile(package).substr(0, 8) + parts.metadata;
    for (const std::string& chunk : chunksOf(package))
        image += lengthHeader(static_cast<int64_t>(chunk.size() + 16)) + chunk;
    return image;
}

void rewriteMetadata(const fs::path& package, const std::function<std::string(const std::string&)>& edit)
{
    const Parts parts = split(package);
    writeFile(package, craft::package(edit(parts.metadata), parts.dataArea));
}

std::string randomBytes(std::size_t count, std::mt19937_64& rng)
{
    std::string out(count, '\0');
    for (char& c : out)
        c = static_cast<char>(rng() & 0xFF);
    return out;
}

std::string compressibleText(std::size_t count, std::mt19937_64& rng)
{
    static const char* const words[] = {"<parameter ", "name=\"Opacity\" ", "id=\"", "value=\"0.5\"/>\n", "<scene>", "</scene>\n"};
    std::string out;
    while (out.size() < count) {
        out += words[rng() % 6];
        out += std::to_string(rng() % 1000);
    }
    out.resize(count);
    return out;
}

Tree snapshot(const fs::path& root)
{
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        const auto status = it->symlink_status();
        Node node;
        if (fs::is_symlink(status)) {
            node.kind = 'l';
            node.data = fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            node.kind = 'd';
        } else if (fs::is_regular_file(status)) {
            node.kind = 'f';
            node.data = readFile(it->path());
        } else {
            node.kind = 'o';
        }
        tree[rel] = node;
    }
    return tree;
}

std::string describeDifference(const Tree& expected, const Tree& actual)
{
    for (const auto& [path, node] : expected) {
        const auto it = actual.find(path);
        if (it == actual.end())
            return "missing: " + path;
        if (it->second.kind != node.kind)
            return "kind differs: " + path + " (" + node.kind + " vs " + it->second.kind + ")";
        if (it->second.data != node.data)
            return "content differs: " + path + " (" + std::to_string(node.data.size()) + " vs " +
                   std::to_string(it->second.data.size()) + " bytes)";
    }
    for (const auto& [path, node] : actual) {
        if (!expected.count(path))
            return "unexpected: " + path;
    }
    return {};
}

} // namespace craft
