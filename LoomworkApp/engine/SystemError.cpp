#include "engine/SystemError.h"

#include <cerrno>
#include <cstring>

QString SystemError::describe(int errorCode)
{
    switch (errorCode) {
    case ENOENT: return QStringLiteral("文件或文件夹不存在");
    case EACCES:
    case EPERM: return QStringLiteral("没有权限");
    case ENOSPC:
    case EDQUOT: return QStringLiteral("磁盘空间不足");
    case EROFS: return QStringLiteral("文件系统只读");
    case EEXIST: return QStringLiteral("文件已存在");
    case ENOTDIR: return QStringLiteral("不是文件夹");
    case EISDIR: return QStringLiteral("是一个文件夹");
    default: break;
    }
    return QString::fromLocal8Bit(std::strerror(errorCode));
}
