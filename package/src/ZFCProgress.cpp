#include "LoomworkKit/ZFCProgress.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<ZFCProgress::Stage, std::string_view>, 7> kStages{{
    {ZFCProgress::Stage::reading, "解析"},
    {ZFCProgress::Stage::decrypting, "解码"},
    {ZFCProgress::Stage::extracting, "提取"},
    {ZFCProgress::Stage::scanning, "扫描"},
    {ZFCProgress::Stage::packing, "封包"},
    {ZFCProgress::Stage::encrypting, "构建"},
    {ZFCProgress::Stage::assembling, "编译"},
}};

} // namespace

std::string_view ZFCProgress::rawValue(Stage stage)
{
    for (const auto& [s, raw] : kStages) {
        if (s == stage)
            return raw;
    }
    return {};
}
