#include "engine/backup/PluginBackupError.h"

#include <cerrno>

#include "engine/core/SystemError.h"

PluginBackupError::PluginBackupError(Kind kind, const QString& message, int errorCode)
    : std::runtime_error(message.toStdString()), m_kind(kind), m_message(message), m_errorCode(errorCode)
{
}

PluginBackupError PluginBackupError::payloadMissing()
{
    return PluginBackupError(Kind::payloadMissing, QStringLiteral("备份内容不完整，无法还原。"), 0);
}

PluginBackupError PluginBackupError::fileSystem(const QString& action, int errorCode)
{
    return PluginBackupError(Kind::fileSystem, action + QStringLiteral("：") + SystemError::describe(errorCode),
                             errorCode);
}

PluginBackupError PluginBackupError::refused(const QString& action, const QString& reason)
{
    return PluginBackupError(Kind::fileSystem, action + QStringLiteral("：") + reason, ELOOP);
}
