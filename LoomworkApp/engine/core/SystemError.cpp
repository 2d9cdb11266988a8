#include "engine/core/SystemError.h"

#include <cerrno>
#include <cstring>

#include <QFileInfo>

#include "engine/core/FsPath.h"

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
    case ENAMETOOLONG: return QStringLiteral("文件名过长");
    case ELOOP: return QStringLiteral("符号链接过多或指向自身");
    case EIO: return QStringLiteral("磁盘读写错误");
    case EXDEV: return QStringLiteral("不能跨磁盘移动");
    case ENOTEMPTY: return QStringLiteral("文件夹不是空的");
    case EBUSY:
    case ETXTBSY: return QStringLiteral("文件正被占用");
    case EMFILE:
    case ENFILE: return QStringLiteral("打开的文件过多");
    case EFBIG: return QStringLiteral("文件过大");
    case EINVAL: return QStringLiteral("文件名或参数无效");
    case EILSEQ: return QStringLiteral("文件名含有此磁盘不支持的字符");
    case ENOMEM: return QStringLiteral("内存不足");
    case EAGAIN: return QStringLiteral("系统资源暂时不足"); // a thread or process the system could not make
    case ENODEV:
    case ENXIO: return QStringLiteral("设备不可用");
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case ENOTSUP: return QStringLiteral("此磁盘不支持该操作");
    case ETIMEDOUT: return QStringLiteral("操作超时");
    default: break;
    }
    return QString::fromLocal8Bit(std::strerror(errorCode));
}

QString SystemError::writeErrorText(const QString& done, int errorCode)
{
    return done + QStringLiteral("，但磁盘报告了写入错误（") + describe(errorCode)
        + QStringLiteral("），数据可能没有完整写入磁盘。请检查磁盘后再查看插件。");
}

QString SystemError::pluginNames(const QStringList& paths)
{
    constexpr qsizetype kNamed = 5;
    QStringList names;
    for (qsizetype i = 0; i < paths.size() && i < kNamed; ++i)
        names.append(QStringLiteral("「") + FsPath::displayText(QFileInfo(paths[i]).fileName()) + QStringLiteral("」"));
    QString text = names.join(QStringLiteral("、"));
    if (paths.size() > kNamed)
        text += QStringLiteral("等 %1 个插件").arg(paths.size());
    return text;
}
