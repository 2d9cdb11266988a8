#include "support/app/PackageMaker.h"

#include <filesystem>
#include <random>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPackItem.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "support/kit/PackageCraft.h"

namespace {

std::filesystem::path native(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

quint32 lengthAt(const QByteArray& bytes, qint64 offset)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes[offset + i]);
    return value;
}

} // namespace

QString PackageMaker::makeFolder(const QString& folder, const QString& name, const QMap<QString, QByteArray>& files)
{
    const QString root = folder + QLatin1Char('/') + name;
    QDir().mkpath(root);
    for (auto it = files.begin(); it != files.end(); ++it)
        writeAll(root + QLatin1Char('/') + it.key(), it.value());
    return root;
}

void PackageMaker::pack(const QString& packagePath, const QList<Source>& sources, const QString& workFolder)
{
    std::vector<ZFCPackItem> items;
    for (qsizetype i = 0; i < sources.size(); ++i) {
        // Each source in a folder of its own: two sources may share a name.
        const QString folder = makeFolder(workFolder + QStringLiteral("/src") + QString::number(i) + QLatin1Char('-')
                                              + QFileInfo(packagePath).completeBaseName(),
                                          sources[i].name, sources[i].files);
        items.push_back(ZFCPackItem{sources[i].type, sources[i].name.toStdString(), native(folder)});
    }
    ZFCPacker::pack(items, native(packagePath));
}

void PackageMaker::writePackage(const QString& path, const QList<PackagedPlugin>& plugins)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    QList<Source> sources;
    for (const PackagedPlugin& plugin : plugins)
        sources.append({ZFCPluginType::from(plugin.type.toStdString()).value_or(ZFCPluginType::effect), plugin.name,
                        {{QStringLiteral("Info.txt"), (plugin.type + QLatin1Char('/') + plugin.name).toUtf8()}}});
    QDir().mkpath(QFileInfo(path).absolutePath());
    pack(path, sources, work.path());
    // The packer writes only the four known types.
    rewriteMetadata(path, [&](const std::string& json) {
        auto records = ZFCPlugin::decodeArray(json);
        if (!records || records->size() != std::size_t(plugins.size())) {
            ADD_FAILURE() << "the metadata does not list the " << plugins.size() << " plug-ins packed";
            return json;
        }
        for (std::size_t i = 0; i < records->size(); ++i)
            (*records)[i].type = plugins[qsizetype(i)].type.toStdString();
        return ZFCPlugin::encodeArray(*records);
    });
}

void PackageMaker::rewriteMetadata(const QString& packagePath,
                                   const std::function<std::string(const std::string&)>& edit)
{
    craft::rewriteMetadata(native(packagePath), edit);
}

void PackageMaker::breakSecondChunk(const QString& packagePath, int pluginIndex)
{
    const auto plugins = ZFCPackageReader::readPlugins(native(packagePath));
    ASSERT_LT(std::size_t(pluginIndex), plugins.size());
    QByteArray bytes = readAll(packagePath);
    const qint64 first = plugins[std::size_t(pluginIndex)].position;
    const qint64 second = first + 8 + lengthAt(bytes, first);
    ASSERT_LT(second, first + plugins[std::size_t(pluginIndex)].eSize) << "the plug-in has only one chunk";
    bytes[second] = 5; // below the 17 bytes of the smallest sealed buffer
    bytes[second + 1] = 0;
    bytes[second + 2] = 0;
    bytes[second + 3] = 0;
    writeAll(packagePath, bytes);
}

QByteArray PackageMaker::noise(int bytes, quint32 seed)
{
    std::mt19937 random(seed);
    QByteArray out(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        out[i] = char(random() & 0xFF);
    return out;
}

QMap<QString, QByteArray> PackageMaker::readTree(const QString& folder, bool withModes)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray entry;
        struct stat st;
        if (withModes && ::lstat(QFile::encodeName(path).constData(), &st) == 0) {
            entry = QByteArray::number(st.st_mode & 07777, 8) + ' ';
            if (!S_ISLNK(st.st_mode))
                entry += QByteArray::number(qint64(st.st_mtim.tv_sec)) + ' ';
        }
        if (info.isSymLink() && withModes) {
            char target[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            entry += "-> " + QByteArray(target, n < 0 ? 0 : int(n)); // as written, for trees in two places
        } else if (info.isSymLink())
            entry += "-> " + info.symLinkTarget().toUtf8();
        else if (info.isDir())
            entry += "<dir>";
        else
            entry += readAll(path);
        tree.insert(base.relativeFilePath(path), entry);
    }
    return tree;
}

QStringList PackageMaker::namesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}
