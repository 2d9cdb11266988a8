#include "ui/AppResources.h"

#include <QFile>

QImage AppResources::image(const QString& name, const QString& ext)
{
    QString path = QStringLiteral(":/images/") + name;
    if (!ext.isEmpty())
        path += QLatin1Char('.') + ext;
    if (!QFile::exists(path))
        return {};
    return QImage(path);
}
