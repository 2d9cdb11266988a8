#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The package library's error. errorDescription() is the Chinese text shown to the user;
// what() returns the same text. File-system failures are not wrapped: they arrive as
// std::filesystem::filesystem_error (or std::system_error) with the errno intact.
//
// The kinds after metadataCorrupted name the cause of a read/write failure; they describe
// themselves as "文件读写失败：" + detail, like ioFailure, which remains for other details.
class ZFCPackageError : public std::exception
{
public:
    enum class Kind {
        fileNotFound,
        unknownPluginType,
        sourceDirMissing,
        ioFailure,
        fileTooSmall,
        metadataCorrupted,
        compressFailed,        // "压缩失败（zlib n）"
        compressFinishFailed,  // "压缩收尾失败（zlib n）"
        inflateFailed,         // "解压失败（zlib n）"
        pathInvalid,           // "封包内路径非法：" + path
        pathEscapes,           // "封包内路径越界：" + path
        chunkHeaderTruncated,  // "读取分块头失败 @ " + offset
        chunkLengthInvalid,    // "非法分块长度 " + length
        chunkBodyTruncated,    // "读取分块数据失败 @ " + offset
        plaintextOverrun,      // "明文数据超出文件树声明的总量" [+ "（" + subject + "）"]
        fileCreateFailed,      // "无法创建文件：" + path
        inflaterInitFailed,    // "解压器初始化失败：" + path
        streamTruncated,       // "压缩数据不完整，封包可能已损坏" [+ "（" + subject + "）"]
        metadataTooLarge,      // the writer's metadata exceeds what a length header holds
        tooManyEntries,        // more entries than a reader accepts
        nameNotUtf8,           // the writer met a name that is not valid UTF-8
        treeTooDeep,           // the writer met folders nested deeper than it packs
        incomplete,            // a plug-in's data runs past the end of the file
        nameHoldsBackslash     // the writer met a name holding a backslash, which extraction splits
    };

    static ZFCPackageError fileNotFound(std::string path);
    static ZFCPackageError unknownPluginType(std::string pluginName, std::string typeName);
    static ZFCPackageError sourceDirMissing(std::string path);
    // A read/write failure whose cause has no kind of its own.
    static ZFCPackageError ioFailure(std::string detail);
    static ZFCPackageError fileTooSmall();
    static ZFCPackageError metadataCorrupted();
    // The package ends before the data of `plugin` does: cut short, or damaged.
    static ZFCPackageError incomplete(const std::string& plugin);
    // The entry `inside` the plug-in's folder `folder` nested deeper than
    // ZFCFolderStack::maxDepth: "文件夹嵌套超过 128 层，无法打包：" + folder + "/" + inside,
    // each shortened.
    static ZFCPackageError treeTooDeep(const std::string& folder, const std::string& inside);
    // The same kind for the entry `inside` of the packaged plug-in `plugin`, which nobody could
    // walk once extracted: "插件「" + plugin + "」的文件夹嵌套超过 128 层：" + inside, each
    // shortened.
    static ZFCPackageError treeTooDeepInPackage(const std::string& plugin, const std::string& inside);
    // One of the kinds from compressFailed on. `subject` is the path, the number or the zlib
    // code the text carries (empty for the kinds without one; plaintextOverrun and
    // streamTruncated may name the damaged file and its plug-in, shown in brackets); a long
    // name is shortened.
    static ZFCPackageError failure(Kind kind, std::string subject = {});
    static ZFCPackageError failure(Kind kind, int64_t number) { return failure(kind, std::to_string(number)); }

    // The same failure of one file's data, naming the file and its plug-in (`where`).
    ZFCPackageError damagedIn(const std::string& where) const;

    Kind kind() const { return m_kind; }
    // Described as "文件读写失败：" + detail (ioFailure and the kinds that name a cause).
    bool isIoFailure() const;
    // The first string the error carries (path, plug-in name, or the whole detail text of
    // a read/write failure); empty for the cases without one.
    const std::string& detail() const { return m_detail; }
    // What a failure() or treeTooDeep() names, as given (path, number or zlib code); empty
    // otherwise.
    const std::string& subject() const { return m_subject; }
    std::string errorDescription() const;
    const char* what() const noexcept override { return m_description.c_str(); }

    // A name as quoted in a message: bytes that are not UTF-8 shown as \xNN, and a long
    // name cut in the middle to a readable length.
    static std::string quotedName(const std::string& name);

private:
    ZFCPackageError(Kind kind, std::string detail, std::string second = {});

    Kind m_kind;
    std::string m_detail;
    std::string m_second;
    std::string m_subject;
    std::string m_description;
};
