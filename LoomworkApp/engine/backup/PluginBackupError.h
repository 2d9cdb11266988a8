#pragma once

#include <stdexcept>

#include <QString>

// The error of backups and restores. message() is the Chinese text shown to the user
// (after "写入失败：" or "还原失败：" in the sheets); what() gives the same text in UTF-8.
class PluginBackupError : public std::runtime_error
{
public:
    enum class Kind {
        payloadMissing, // the backup holds no copy to put back
        fileSystem      // a file operation failed; errorCode() tells why
    };

    static PluginBackupError payloadMissing();
    // `action` says what failed ("无法拷贝插件“Glow”"); the system's reason is appended.
    static PluginBackupError fileSystem(const QString& action, int errorCode);
    // A path we may not write through (ELOOP); `reason` says why.
    static PluginBackupError refused(const QString& action, const QString& reason);

    Kind kind() const { return m_kind; }
    int errorCode() const { return m_errorCode; }
    const QString& message() const { return m_message; }

private:
    PluginBackupError(Kind kind, const QString& message, int errorCode);

    Kind m_kind;
    QString m_message;
    int m_errorCode = 0;
};
