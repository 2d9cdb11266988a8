#include "window/WebEngineSetUp.h"

#include <unistd.h>

#include <QCoreApplication>

void WebEngineSetUp::beforeApplication(const QByteArray& extraFlags)
{
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (!extraFlags.isEmpty())
        flags += ' ' + extraFlags;
    if (::geteuid() == 0 && !flags.contains("--no-sandbox"))
        flags += " --no-sandbox";
    flags = flags.trimmed();
    if (!flags.isEmpty())
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}
