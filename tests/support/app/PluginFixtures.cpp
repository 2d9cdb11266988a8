#include "support/app/PluginFixtures.h"

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "engine/core/EngineText.h"

namespace {

QByteArray joinLines(const QList<QByteArray>& lines, bool crlf)
{
    QByteArray out;
    for (const auto& line : lines) {
        out += line;
        out += crlf ? "\r\n" : "\n";
    }
    return out;
}

QByteArray sceneChunk(int index, const QStringList& privateNames)
{
    QList<QByteArray> lines;
    const QByteArray id = QByteArray::number(10000 + index);
    lines << "\t\t<layer name=\"Group " + QByteArray::number(index) + "\" id=\"" + id + "\">";
    for (const auto& name : privateNames)
        lines << "\t\t\t<parameter name=\"" + name.toUtf8() + "\" id=\"" + id + "\" flags=\"8606711824\" default=\"0\" value=\"0.5\"/>";
    lines << "\t\t\t<scenenode name=\"Text\" id=\"" + id + "1\" factoryID=\"3\">"
          << "\t\t\t\t<parameter name=\"Opacity\" id=\"117\" flags=\"12884967440\" value=\"1\"/>"
          << "\t\t\t\t<curve type=\"1\" default=\"0\" value=\"0\"><keypoint flags=\"0\"><time>0 1 1 0</time><value>0</value></keypoint></curve>"
          << "\t\t\t</scenenode>"
          << "\t\t</layer>";
    return joinLines(lines, false);
}

} // namespace

QByteArray PluginFixtures::templateBytes(const TemplateOptions& options)
{
    const QByteArray eol = options.crlf ? "\r\n" : "\n";
    // A comment of 'x' that ends the text at `target` bytes (plus `tail`).
    const auto padTo = [&](QByteArray& text, qsizetype target, const QByteArray& tail) {
        QByteArray fill = "<!-- ";
        while (text.size() + fill.size() < target)
            fill += 'x';
        text += fill + tail + " -->" + eol;
    };

    QByteArray out = joinLines({"<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<!DOCTYPE ozxmlscene>"}, options.crlf);
    if (options.ozmlBeyondHead)
        padTo(out, 9000, {});
    QList<QByteArray> top;
    if (!options.ozml.isEmpty()) {
        QByteArray tag = "<ozml version=\"" + options.ozml.toUtf8() + "\"";
        if (options.extraOzmlAttribute)
            tag += " xmlns=\"urn:motion\"";
        top << tag + ">";
    } else {
        top << "<scenefile>";
    }
    top << "";
    if (options.displayVersion)
        top << "<displayversion>" + options.displayVersion->toUtf8() + "</displayversion>" << "";
    out += joinLines(top, options.crlf);
    if (options.cutHeadInsideCharacter)
        padTo(out, 8191, "插件"); // the first three-byte character starts at byte 8191

    QList<QByteArray> body;
    body << "<description>模板 for Final Cut Pro &amp; Motion</description>"
         << "<factory id=\"1\" uuid=\"7ec6b8c9d8f111d39c0f000393ae4a8e\"><description>Text</description></factory>"
         << "<scene>"
         << "\t<sceneSettings><width>1920</width><height>1080</height><duration>300</duration></sceneSettings>";
    const int blocks = std::max(1, options.publishBlocks);
    for (int b = 0; b < blocks; ++b) {
        body << "\t<publishSettings>" << "\t\t<version>2</version>";
        for (qsizetype i = b; i < options.publishedNames.size(); i += blocks) {
            body << "\t\t<target object=\"" + QByteArray::number(10012 + i) + "\" channel=\"./1/100/"
                        + QByteArray::number(101 + i) + "\" id=\"" + QByteArray::number(i + 1)
                        + "\" flags=\"0\" name=\"" + options.publishedNames[i].toUtf8() + "\"/>";
        }
        body << "\t</publishSettings>";
    }
    out += joinLines(body, options.crlf);

    int index = 0;
    QByteArray scene;
    while (out.size() + scene.size() < options.approxBytes)
        scene += sceneChunk(index++, options.privateNames);
    if (options.crlf)
        scene.replace("\n", "\r\n");
    out += scene;
    out += joinLines({"</scene>", options.ozml.isEmpty() ? "</scenefile>" : "</ozml>"}, options.crlf);
    return out;
}

QString PluginFixtures::categoryFolder(PluginRoot root, ZFCPluginType type)
{
    const QString path = root.path() + QLatin1Char('/') + EngineText::directoryName(type);
    EXPECT_TRUE(QDir().mkpath(path)) << path.toStdString();
    return path;
}

QString PluginFixtures::makePlugin(PluginRoot root, ZFCPluginType type, const QString& name)
{
    const QString path = categoryFolder(root, type) + QLatin1Char('/') + name;
    EXPECT_TRUE(QDir().mkpath(path)) << path.toStdString();
    return path;
}

QString PluginFixtures::makeTemplatePlugin(PluginRoot root, ZFCPluginType type, const QString& name,
                                           const TemplateOptions& options, const QString& ext)
{
    const QString folder = makePlugin(root, type, name);
    writeBytes(folder + QLatin1Char('/') + name + QLatin1Char('.') + ext, templateBytes(options));
    writeBytes(folder + QStringLiteral("/Media/thumbnail.png"), QByteArray(2048, '\x89'));
    return folder;
}

void PluginFixtures::writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray PluginFixtures::readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void PluginFixtures::makeSymlink(const QString& target, const QString& link)
{
    QDir().mkpath(QFileInfo(link).absolutePath());
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0)
        << link.toStdString();
}

void PluginFixtures::setModified(const QString& path, qint64 secondsSinceEpoch)
{
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(secondsSinceEpoch);
    times[0].tv_usec = times[1].tv_usec = 0;
    ASSERT_EQ(::lutimes(QFile::encodeName(path).constData(), times), 0);
}

qint64 PluginFixtures::allocatedSize(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return qint64(st.st_blocks) * 512;
}

PluginFixtures::FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    m_saved = limit.rlim_cur;
    m_handler = ::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = rlim_t(bytes);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

PluginFixtures::FileSizeLimit::~FileSizeLimit()
{
    struct rlimit limit;
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = rlim_t(m_saved);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, m_handler);
}
