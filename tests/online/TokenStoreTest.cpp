#include <atomic>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include <QFile>

#include "online/TokenStore.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/kit/TempDir.h"

namespace fs = std::filesystem;

namespace {

int modeOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

void writeRaw(const QByteArray& bytes)
{
    QFile file(TokenStore::filePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

TEST(TokenStore, ReadsTrimmedTokenAndRefusesUnusableFiles)
{
    TestEnv::reset();
    EXPECT_FALSE(TokenStore::read()); // no file
    TokenStore::remove();             // nothing to remove: no complaint

    const struct {
        const char* name;
        QByteArray bytes;
        std::optional<QString> expected;
    } cases[] = {
        {"plain", "abc123", QString("abc123")},
        {"padded", "  abc123\n", QString("abc123")},
        {"blank", " \n\t\r\n", std::nullopt},
        {"empty", "", std::nullopt},
        {"not utf-8", "ab\xff\xfe", std::nullopt},
        {"oversized", QByteArray(200 * 1024, 'a'), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeRaw(c.bytes);
        EXPECT_EQ(TokenStore::read(), c.expected);
    }

    // A folder where the file should be is unreadable as a token, and set() cannot replace it.
    QFile::remove(TokenStore::filePath());
    fs::create_directory(TokenStore::filePath().toStdString());
    EXPECT_FALSE(TokenStore::read());
    TokenStore::set("t");
    EXPECT_FALSE(TokenStore::read());
    fs::remove_all(TokenStore::filePath().toStdString());
}

TEST(TokenStore, SetWritesExactBytesWithOwnerOnlyPermissions)
{
    TestEnv::reset();
    writeRaw("old");
    ::chmod(QFile::encodeName(TokenStore::filePath()).constData(), 0644);

    TokenStore::set(QStringLiteral("新-token "));
    QFile file(TokenStore::filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QStringLiteral("新-token ").toUtf8()); // no newline added
    EXPECT_EQ(modeOf(TokenStore::filePath()), 0600);
    EXPECT_EQ(TokenStore::read(), QStringLiteral("新-token"));

    TokenStore::remove();
    EXPECT_FALSE(QFile::exists(TokenStore::filePath()));
}

TEST(TokenStore, NoTokenFileIsEverVisibleToOthers)
{
    TestEnv::reset();
    const fs::path folder = fs::path(TokenStore::filePath().toStdString()).parent_path();
    std::atomic<bool> done{false};
    std::atomic<int> looseModes{0};
    std::atomic<int> seen{0};
    std::thread watcher([&] {
        while (!done) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(folder, ec)) {
                if (entry.path().filename().string().rfind("session.token", 0) != 0)
                    continue;
                struct stat info {};
                if (::lstat(entry.path().c_str(), &info) == 0) {
                    ++seen;
                    if (info.st_mode & 077)
                        ++looseModes;
                }
            }
        }
    });
    for (int i = 0; i < 300; ++i)
        TokenStore::set(QStringLiteral("token-%1").arg(i));
    done = true;
    watcher.join();
    EXPECT_GT(seen.load(), 0);
    EXPECT_EQ(looseModes.load(), 0);
    EXPECT_EQ(TokenStore::read(), QStringLiteral("token-299"));
    // No temporary file is left behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        files += entry.path().filename().string().rfind("session.token", 0) == 0;
    EXPECT_EQ(files, 1);
}
