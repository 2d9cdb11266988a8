#pragma once

#include <exception>
#include <string>

// The package library's error. errorDescription() is the Chinese text shown to the user;
// what() returns the same text. File-system failures are not wrapped: they arrive as
// std::filesystem::filesystem_error (or std::system_error) with the errno intact.
class ZFCPackageError : public std::exception
{
public:
    enum class Kind {
        fileNotFound,
        unknownPluginType,
        sourceDirMissing,
        ioFailure,
        fileTooSmall,
        metadataCorrupted
    };

    static ZFCPackageError fileNotFound(std::string path);
    static ZFCPackageError unknownPluginType(std::string pluginName, std::string typeName);
    static ZFCPackageError sourceDirMissing(std::string path);
    static ZFCPackageError ioFailure(std::string detail);
    static ZFCPackageError fileTooSmall();
    static ZFCPackageError metadataCorrupted();

    Kind kind() const { return m_kind; }
    // The first string the error carries (path, plug-in name or ioFailure detail); empty for
    // the cases without one.
    const std::string& detail() const { return m_detail; }
    std::string errorDescription() const;
    const char* what() const noexcept override { return m_description.c_str(); }

private:
    ZFCPackageError(Kind kind, std::string detail, std::string second = {});

    Kind m_kind;
    std::string m_detail;
    std::string m_second;
    std::string m_description;
};
