#include "window/DropIntake.h"

#include <QStringList>

namespace {

// The path without the slashes a folder's URL may end with.
QString trimmedPath(const QUrl& url)
{
    QString path = url.path();
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

QString lastComponent(const QUrl& url)
{
    const QString path = trimmedPath(url);
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    return name.isEmpty() ? url.toDisplayString() : name;
}

} // namespace

bool DropIntake::isPackageFile(const QUrl& url)
{
    const QString path = trimmedPath(url);
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString name = path.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    // A name that is only ".zfcp" has no extension.
    return dot > 0 && name.mid(dot + 1).toLower() == QLatin1String("zfcp");
}

QList<QUrl> DropIntake::packageFiles(const QList<QUrl>& urls)
{
    QList<QUrl> kept;
    for (const QUrl& url : urls) {
        if (isPackageFile(url))
            kept.append(url);
    }
    return kept;
}

DropIntake::Outcome DropIntake::sortDrop(const QList<QUrl>& dropped)
{
    Outcome outcome;
    QList<QUrl> rejected;
    for (const QUrl& url : dropped)
        (isPackageFile(url) ? outcome.accepted : rejected).append(url);
    if (rejected.isEmpty())
        return outcome;

    QStringList names;
    for (qsizetype i = 0; i < rejected.size() && i < 4; ++i)
        names.append(QStringLiteral("· ") + lastComponent(rejected[i]));
    QString nameList = names.join(u'\n');
    if (rejected.size() >= 5)
        nameList += QStringLiteral("\n…另有 %1 个文件").arg(rejected.size() - 4);

    if (outcome.accepted.isEmpty()) {
        outcome.alertTitle = QStringLiteral("这些文件不能安装");
        outcome.alertMessage = QStringLiteral("拖进来的 %1 个文件不是 .zfcp 插件备份，已忽略：\n\n").arg(rejected.size())
            + nameList
            + QStringLiteral("\n\n请拖入扩展名为 .zfcp 的文件（在插件市场下载或从「备份」导出的都是这种格式）。");
    } else {
        outcome.alertTitle = QStringLiteral("已跳过 %1 个文件").arg(rejected.size());
        outcome.alertMessage = QStringLiteral("这些不是 .zfcp 插件备份，没有安装：\n\n") + nameList
            + QStringLiteral("\n\n其余 %1 个 .zfcp 文件会继续安装。").arg(outcome.accepted.size());
    }
    return outcome;
}
