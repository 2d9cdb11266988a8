#pragma once

#include <functional>
#include <string>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include "LoomworkKit/ZFCPluginType.h"

// Real .zfcp packages for the engine's tests, written by our own packer from plug-in folders
// made on the spot, plus the few ways to damage them that the tests need.
namespace PackageMaker {

struct Source
{
    ZFCPluginType type;
    QString name;
    QMap<QString, QByteArray> files; // relative path -> content
};

// Creates <folder>/<name> with the files (parents made as needed) and returns its path.
QString makeFolder(const QString& folder, const QString& name, const QMap<QString, QByteArray>& files);

// Packs the sources (folders made under `workFolder`) into `packagePath`.
void pack(const QString& packagePath, const QList<Source>& sources, const QString& workFolder);

struct PackagedPlugin
{
    QString type; // the type string written into the package; any text, not only the four keys
    QString name;
};
// One small folder per plug-in ("Info.txt" holding "<type>/<name>"), packed in order at
// `path` (parents made); the type strings are then written into the metadata as given.
void writePackage(const QString& path, const QList<PackagedPlugin>& plugins);

// Decrypts the metadata JSON, hands it to `edit` and writes the package back with the result.
void rewriteMetadata(const QString& packagePath, const std::function<std::string(const std::string&)>& edit);

// Sets the length header of the plug-in's second chunk to a value no reader accepts, so
// that its extraction fails after the first chunk has been written out.
void breakSecondChunk(const QString& packagePath, int pluginIndex);

// `bytes` of incompressible data (spans several 1 MiB chunks when large).
QByteArray noise(int bytes, quint32 seed);

// Every item below `folder`: relative path -> content, "<dir>" for folders, "-> target" for
// links; `withModes` puts each item's mode (and, but for links, its modification second) first.
QMap<QString, QByteArray> readTree(const QString& folder, bool withModes = false);

// Names in `folder`, hidden ones included, sorted.
QStringList namesIn(const QString& folder);

} // namespace PackageMaker
