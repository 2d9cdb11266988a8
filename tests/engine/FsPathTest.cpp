#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>

#include "engine/core/FsPath.h"
#include "support/kit/TempDir.h"

TEST(FsPath, EveryNameComesBackAsTheSameBytes)
{
    const QByteArray names[] = {
        "plain", "Caf\xc3\xa9 \xe5\xad\x97\xe5\xb9\x95", "emoji \xf0\x9f\x8e\xac",
        "Bad\xffName", "Bad\xfeName", "Caf\xe9", "cut \xe5\xad", "\xed\xa0\x80 encoded surrogate",
        "\xc0\xaf overlong", "\x80\x80\x80", "tail\xf4\x90\x80\x80",
    };
    for (const QByteArray& name : names) {
        SCOPED_TRACE(name.toHex().toStdString());
        const QString decoded = FsPath::decode(name);
        EXPECT_EQ(FsPath::encode(decoded), name);
        if (QString::fromUtf8(name).toUtf8() == name)
            EXPECT_EQ(decoded, QString::fromUtf8(name));
        else
            EXPECT_TRUE(FsPath::displayText(decoded).contains(QChar::ReplacementCharacter));
    }
    // Two names that differ only in their undecodable byte stay two names.
    EXPECT_NE(FsPath::decode("a\xff"), FsPath::decode("a\xfe"));
}

TEST(FsPath, APathReadFromTheDiskNamesTheSameEntry)
{
    TempDir dir; // removed by its bytes: Qt cannot name what it cannot decode
    const std::string root = dir.path().string();
    for (const char* name : {"Bad\xffName", "Bad\xefName"})
        ASSERT_EQ(::mkdir((root + "/" + name).c_str(), 0755), 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const QString path = FsPath::fromNative(entry.path());
        struct stat st;
        EXPECT_EQ(::lstat(FsPath::toNative(path).c_str(), &st), 0);
        EXPECT_EQ(FsPath::toNative(path), entry.path());
    }
}
