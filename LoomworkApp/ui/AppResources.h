#pragma once

#include <QImage>
#include <QString>

// Images shipped inside the application (Qt resources under ":/images").
class AppResources
{
public:
    // The image `name`.`ext`, or a null image when it is not shipped.
    static QImage image(const QString& name, const QString& ext);
};
