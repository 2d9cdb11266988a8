#include "support/app/PackageMaker.h"

#include <filesystem>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPackItem.h"
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

QMap<QString, QByteArray> PackageMaker::readTree(const QString& folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString rel = base.relativeFilePath(path);
        if (info.isSymLink())
            tree.insert(rel, "-> " + info.symLinkTarget().toUtf8());
        else if (info.isDir())
            tree.insert(rel, "<dir>");
        else
            tree.insert(rel, readAll(path));
    }
    return tree;
}

QStringList PackageMaker::namesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}
