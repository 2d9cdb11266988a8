#include "support/app/PackageFixtures.h"

#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "LoomworkKit/ZFCPacker.h"
#include "LoomworkKit/ZFCPlugin.h"
#include "support/kit/PackageCraft.h"

namespace fs = std::filesystem;

namespace {

fs::path native(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

// Rewrites the sealed metadata so that the plug-ins carry the given type strings; the
// packer itself only writes the four known ones.
void retype(const fs::path& package, const QList<PackageFixtures::PackagedPlugin>& plugins)
{
    craft::rewriteMetadata(package, [&](const std::string& json) {
        auto records = ZFCPlugin::decodeArray(json);
        if (!records || records->size() != size_t(plugins.size())) {
            ADD_FAILURE() << "the package's metadata does not list the " << plugins.size() << " plug-ins packed";
            return json;
        }
        for (size_t i = 0; i < records->size(); ++i)
            (*records)[i].type = plugins[qsizetype(i)].type.toStdString();
        return ZFCPlugin::encodeArray(*records);
    });
}

} // namespace

void PackageFixtures::writePackage(const QString& path, const QList<PackagedPlugin>& plugins)
{
    QTemporaryDir sources;
    ASSERT_TRUE(sources.isValid());
    std::vector<ZFCPackItem> items;
    bool unknownTypes = false;
    for (qsizetype i = 0; i < plugins.size(); ++i) {
        const PackagedPlugin& packaged = plugins[i];
        const QString folder = sources.filePath(QString::number(i));
        ASSERT_TRUE(QDir().mkpath(folder));
        QFile info(folder + QStringLiteral("/Info.txt"));
        ASSERT_TRUE(info.open(QIODevice::WriteOnly));
        info.write((packaged.type + QLatin1Char('/') + packaged.name).toUtf8());
        info.close();
        const std::optional<ZFCPluginType> type = ZFCPluginType::from(packaged.type.toStdString());
        unknownTypes = unknownTypes || !type;
        items.push_back({type.value_or(ZFCPluginType::effect), packaged.name.toStdString(), native(folder)});
    }
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    ZFCPacker::pack(items, native(path));
    if (unknownTypes)
        retype(native(path), plugins);
}
