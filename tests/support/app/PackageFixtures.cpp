#include "support/app/PackageFixtures.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"

namespace fs = std::filesystem;

namespace {

fs::path native(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

std::vector<uint8_t> readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Rewrites the sealed metadata so that the plug-ins carry the given type strings; the
// packer itself only writes the four known ones.
void retype(const fs::path& package, const QList<PackageFixtures::PackagedPlugin>& plugins)
{
    std::vector<uint8_t> bytes = readAll(package);
    ASSERT_GE(bytes.size(), 8u);
    int32_t sealedLength = 0;
    std::memcpy(&sealedLength, bytes.data(), 4);
    ASSERT_LE(size_t(8 + sealedLength), bytes.size());
    const std::vector<uint8_t> plain = ZFCPackageReader::decryptBuffer(
        std::span<const uint8_t>(bytes.data() + 8, size_t(sealedLength)));
    auto records = ZFCPlugin::decodeArray(std::string_view(reinterpret_cast<const char*>(plain.data()), plain.size()));
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), size_t(plugins.size()));
    for (size_t i = 0; i < records->size(); ++i)
        (*records)[i].type = plugins[qsizetype(i)].type.toStdString();
    const std::string json = ZFCPlugin::encodeArray(*records);
    const std::vector<uint8_t> sealed = ZFCPacker::encryptBuffer(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(json.data()), json.size()));

    std::vector<uint8_t> out(8, 0);
    const int32_t newLength = int32_t(sealed.size());
    std::memcpy(out.data(), &newLength, 4);
    out.insert(out.end(), sealed.begin(), sealed.end());
    out.insert(out.end(), bytes.begin() + 8 + sealedLength, bytes.end());
    std::ofstream file(package, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
    ASSERT_TRUE(file.good());
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
