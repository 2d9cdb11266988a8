#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "LoomworkKit/ZFCProgress.h"

namespace kit {

// One plug-in to extract: into root/<name, else its stored name, through safeName>.
struct ExtractTarget
{
    const ZFCPlugin* plugin = nullptr;
    std::filesystem::path root{};
    std::optional<std::string> name{};
    bool overwrite = false;
};

// The target's folder; metadataCorrupted when no usable name is left.
std::filesystem::path destinationOf(const ExtractTarget& target);
// The file offset where the plug-in's chunk stream ends; metadataCorrupted when it does not fit.
int64_t streamEnd(const ZFCPlugin& plugin);

// Extracts the targets in order from the package in `file`, as ZFCPackageReader::extract
// describes: worker threads read and decrypt the chunks ahead of the calling thread and make
// the files that lie whole in one chunk; the calling thread makes the rest, in order. On a
// failure `failedAt`, when given, is the index of the target the error belongs to.
void extractTargets(ZFCFileHandle& file, const std::vector<ExtractTarget>& targets, const ZFCProgressCallback& progress,
                    std::size_t* failedAt = nullptr);

} // namespace kit
