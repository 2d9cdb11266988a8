#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// Builders for hand-made .zfcp packages (hostile ones included) and a snapshot of a folder
// tree for comparing what was packed with what came out.
namespace craft {

// The 8-byte little-endian length header.
std::string lengthHeader(int64_t value);
// 16 random IV bytes + ciphertext under the package key.
std::string seal(std::string_view plain);
// The plaintext cut into `piece`-byte pieces, each sealed behind its length header.
std::string chunkStream(std::string_view plain, std::size_t piece = 1024 * 1024);
// Header + sealed metadata + data area.
std::string package(std::string_view metadataJson, std::string_view dataArea);
// A package of one plug-in "P" (type effect) whose metadata has `itemsJson` as its items
// and whose stream plaintext is cut into chunks as the writer would (or in smaller pieces).
std::string onePlugin(std::string_view itemsJson, std::string_view stream, std::size_t piece = 1024 * 1024);
// The decrypted metadata JSON of a package file.
std::string metadataOf(const std::filesystem::path& package);
// The plaintext of every chunk of the data area, in order.
std::vector<std::string> chunksOf(const std::filesystem::path& package);
// The package's bytes with every sealed block opened (its random IV dropped, its
// ciphertext decrypted) and every length header kept: equal for two packages exactly when
// they are the same bytes but for their IVs.
std::string openedImage(const std::filesystem::path& package);
// Hands the decrypted metadata JSON to `edit` and writes the package back, resealed with the
// result, its data area unchanged.
void rewriteMetadata(const std::filesystem::path& package, const std::function<std::string(const std::string&)>& edit);

std::string randomBytes(std::size_t count, std::mt19937_64& rng);
// Text that deflates well but is not one repeated byte.
std::string compressibleText(std::size_t count, std::mt19937_64& rng);

struct Node
{
    char kind = '?';    // 'd' folder, 'f' file, 'l' link, 'o' other
    std::string data;   // file content or link target
    bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>;

// Every entry below `root` by relative path, links not followed.
Tree snapshot(const std::filesystem::path& root);
// "" when equal, else the first difference in words.
std::string describeDifference(const Tree& expected, const Tree& actual);

} // namespace craft
