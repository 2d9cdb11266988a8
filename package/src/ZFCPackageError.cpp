#include "LoomworkKit/ZFCPackageError.h"

#include <array>
#include <cstdio>

#include "LoomworkKit/ZFCFolderStack.h"

namespace {

using Kind = ZFCPackageError::Kind;

// Each cause and the detail text it is shown with: prefix + subject + suffix.
struct Text
{
    Kind kind;
    const char* prefix;
    const char* suffix;
    bool quotesName;
    bool aside = false;  // a whole sentence: the subject, when there is one, follows in brackets
};

constexpr std::array kTexts{
    Text{Kind::compressFailed, "压缩失败（zlib ", "）", false},
    Text{Kind::compressFinishFailed, "压缩收尾失败（zlib ", "）", false},
    Text{Kind::inflateFailed, "解压失败（zlib ", "）", false},
    Text{Kind::pathInvalid, "封包内路径非法：", "", true},
    Text{Kind::pathEscapes, "封包内路径越界：", "", true},
    Text{Kind::chunkHeaderTruncated, "读取分块头失败 @ ", "", false},
    Text{Kind::chunkLengthInvalid, "非法分块长度 ", "", false},
    Text{Kind::chunkBodyTruncated, "读取分块数据失败 @ ", "", false},
    Text{Kind::plaintextOverrun, "明文数据超出文件树声明的总量", "", false, true},
    Text{Kind::fileCreateFailed, "无法创建文件：", "", true},
    Text{Kind::inflaterInitFailed, "解压器初始化失败：", "", true},
    Text{Kind::streamTruncated, "压缩数据不完整，封包可能已损坏", "", false, true},
    Text{Kind::metadataTooLarge, "封包元数据超过 2 GB，无法写入", "", false},
    Text{Kind::tooManyEntries, "封包内的文件和文件夹超过 ", " 个，无法写入", false},
    Text{Kind::nameNotUtf8, "文件名不是有效的 UTF-8 编码，无法封包：", "", true},
    Text{Kind::nameHoldsBackslash, "文件名含有反斜杠“\\”，解包时会被当作文件夹分隔符，无法封包：", "", true},
};

const Text* textOf(Kind kind)
{
    for (const Text& t : kTexts) {
        if (t.kind == kind)
            return &t;
    }
    return nullptr;
}

constexpr std::size_t kQuotedHead = 96;
constexpr std::size_t kQuotedTail = 64;

// Length of the valid UTF-8 sequence at `i`, 0 when the bytes there are not one.
std::size_t utf8Length(const std::string& s, std::size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 && c >= 0xC2 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    const auto c1 = static_cast<unsigned char>(n > 1 ? s[i + 1] : 0);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
        return 0;  // overlong, surrogate or beyond U+10FFFF
    return n;
}

} // namespace

ZFCPackageError::ZFCPackageError(Kind kind, std::string detail, std::string second)
    : m_kind(kind), m_detail(std::move(detail)), m_second(std::move(second))
{
    m_description = errorDescription();
}

ZFCPackageError ZFCPackageError::fileNotFound(std::string path) { return {Kind::fileNotFound, std::move(path)}; }
ZFCPackageError ZFCPackageError::unknownPluginType(std::string pluginName, std::string typeName)
{
    return {Kind::unknownPluginType, std::move(pluginName), std::move(typeName)};
}
ZFCPackageError ZFCPackageError::sourceDirMissing(std::string path) { return {Kind::sourceDirMissing, std::move(path)}; }
ZFCPackageError ZFCPackageError::ioFailure(std::string detail) { return {Kind::ioFailure, std::move(detail)}; }
ZFCPackageError ZFCPackageError::fileTooSmall() { return {Kind::fileTooSmall, {}}; }
ZFCPackageError ZFCPackageError::metadataCorrupted() { return {Kind::metadataCorrupted, {}}; }

ZFCPackageError ZFCPackageError::incomplete(const std::string& plugin)
{
    ZFCPackageError error(Kind::incomplete, "封包数据不完整，封包可能已损坏（插件「" + quotedName(plugin) + "」的数据缺失）");
    error.m_subject = plugin;
    return error;
}

ZFCPackageError ZFCPackageError::treeTooDeep(const std::string& folder, const std::string& inside)
{
    // The folder's end names the plug-in, and is kept whole however long the path inside.
    ZFCPackageError error(Kind::treeTooDeep, "文件夹嵌套超过 " + std::to_string(ZFCFolderStack::maxDepth)
                                                 + " 层，无法打包：" + quotedName(folder) + "/" + quotedName(inside));
    error.m_subject = folder + "/" + inside;
    return error;
}

ZFCPackageError ZFCPackageError::treeTooDeepInPackage(const std::string& plugin, const std::string& inside)
{
    ZFCPackageError error(Kind::treeTooDeep, "插件「" + quotedName(plugin) + "」的文件夹嵌套超过 "
                                                 + std::to_string(ZFCFolderStack::maxDepth) + " 层："
                                                 + quotedName(inside));
    error.m_subject = inside;
    return error;
}

ZFCPackageError ZFCPackageError::failure(Kind kind, std::string subject)
{
    const Text* text = textOf(kind);
    if (!text)
        return {kind, std::move(subject)};
    const std::string named = text->quotesName ? quotedName(subject) : subject;
    const bool aside = text->aside && !subject.empty();
    ZFCPackageError error(kind, text->prefix + (aside ? "（" + named + "）" : named) + text->suffix);
    error.m_subject = std::move(subject);
    return error;
}

ZFCPackageError ZFCPackageError::damagedIn(const std::string& where) const
{
    ZFCPackageError error(m_kind, m_detail + "，封包可能已损坏（" + where + "）", m_second);
    error.m_subject = m_subject;
    return error;
}

bool ZFCPackageError::isIoFailure() const { return m_kind == Kind::ioFailure || (textOf(m_kind) && m_kind != Kind::nameNotUtf8 && m_kind != Kind::nameHoldsBackslash); }

std::string ZFCPackageError::errorDescription() const
{
    switch (m_kind) {
    case Kind::fileNotFound:
        return "找不到文件：" + m_detail;
    case Kind::unknownPluginType:
        return "插件「" + m_detail + "」包含未知类型「" + m_second + "」，无法确定安装目录";
    case Kind::sourceDirMissing:
        return "待打包目录不存在：" + m_detail;
    case Kind::fileTooSmall:
        return "文件过小，不是有效的 .zfcp 封包";
    case Kind::metadataCorrupted:
        return "封包元数据解析失败，文件已损坏或不是旧版 .zfcp 格式";
    case Kind::nameNotUtf8:
    case Kind::nameHoldsBackslash:
    case Kind::treeTooDeep:
    case Kind::incomplete:
        return m_detail;
    default:
        return "文件读写失败：" + m_detail;
    }
}

std::string ZFCPackageError::quotedName(const std::string& name)
{
    // Cut points fall on whole UTF-8 sequences; the end is kept because it names the file.
    std::string out;
    std::size_t i = 0;
    const auto append = [&](std::size_t until) {
        while (i < until && i < name.size()) {
            const std::size_t n = utf8Length(name, i);
            if (n == 0) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(name[i]));
                out += escaped;
                ++i;
            } else {
                out.append(name, i, n);
                i += n;
            }
        }
    };
    if (name.size() <= kQuotedHead + kQuotedTail + 16) {
        append(name.size());
        return out;
    }
    append(kQuotedHead);
    std::size_t tail = name.size() - kQuotedTail;
    while (tail < name.size() && (static_cast<unsigned char>(name[tail]) & 0xC0) == 0x80)
        ++tail;
    out += "…";
    i = tail;
    append(name.size());
    return out;
}
