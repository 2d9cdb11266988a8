#include "LoomworkKit/ZFCPackageError.h"

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

std::string ZFCPackageError::errorDescription() const
{
    switch (m_kind) {
    case Kind::fileNotFound:
        return "找不到文件：" + m_detail;
    case Kind::unknownPluginType:
        return "插件「" + m_detail + "」包含未知类型「" + m_second + "」，无法确定安装目录";
    case Kind::sourceDirMissing:
        return "待打包目录不存在：" + m_detail;
    case Kind::ioFailure:
        return "文件读写失败：" + m_detail;
    case Kind::fileTooSmall:
        return "文件过小，不是有效的 .zfcp 封包";
    case Kind::metadataCorrupted:
        return "封包元数据解析失败，文件已损坏或不是旧版 .zfcp 格式";
    }
    return {};
}
