// The inline preview on the real media backend, in this session without a sound device:
// a video with a sound track plays (its position moves), and what cannot play says so on
// the cover; the playing face never shows over a player that stands still.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include "market/MarketMediaPanel.h"
#include "support/app/LoopbackHttpServer.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

constexpr int kPlayTimeoutMs = 30000;

// Three seconds of a test picture with a tone, H.264 and AAC, made with ffmpeg.
QByteArray clipWithSound()
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        return {};
    const QString path = TestEnv::root() + QStringLiteral("/clip.mp4");
    QProcess make;
    make.start(ffmpeg, {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x90:rate=15", "-f", "lavfi", "-i",
                        "sine=frequency=440", "-t", "3", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac",
                        "-shortest", "-movflags", "+faststart", path});
    if (!make.waitForFinished(60000) || make.exitCode() != 0)
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class InlinePreviewTest : public ListFixtures::ListTest {
protected:
    // Plays `path` of the server in a panel until it ends, fails or times out; records whether
    // the playing face ever showed over a position that had not moved.
    struct Run {
        bool failedLine = false;
        bool ended = false;
        bool pretended = false;
        double furthest = 0;
    };
    Run play(const QString& path, const QString& picture)
    {
        MarketMediaPanel panel(std::nullopt, server.url(path).toString());
        panel.resize(520, 325);
        panel.show();
        MarketMediaModel& media = panel.model();
        Run run;
        bool sawPlaying = false;
        QObject watcher;
        QObject::connect(&media, &MarketMediaModel::changed, &watcher, [&] {
            if (media.face() == MarketMediaModel::Face::playing) {
                sawPlaying = true;
                run.pretended |= media.progress() <= 0;
                run.furthest = std::max(run.furthest, media.progress());
            }
            if (sawPlaying && media.face() == MarketMediaModel::Face::cover && !media.playError())
                run.ended = true;
            run.failedLine |= media.playError() == MarketMediaModel::playFailedText();
        });
        media.startPreview();
        EXPECT_TRUE(QTest::qWaitFor([&] { return run.ended || run.failedLine || run.furthest > 1.0; }, kPlayTimeoutMs))
            << "still " << (media.startingPlayback() ? "opening" : "showing the playing face") << " at "
            << media.timeLine().toStdString();
        ListFixtures::settle(100);
        ListFixtures::savePicture(panel, picture);
        return run;
    }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(InlinePreviewTest, AVideoWithSoundPlaysWithoutASoundDeviceAndWhatCannotPlaySaysSo)
{
    const QByteArray clip = clipWithSound();
    if (clip.isEmpty())
        GTEST_SKIP() << "ffmpeg could not make a clip here";
    server.setReply(QStringLiteral("/clip.mp4"), {200, "video/mp4", clip, {}});
    const Run good = play(QStringLiteral("/clip.mp4"), QStringLiteral("market-preview-playing"));
    EXPECT_FALSE(good.pretended);
    // Here it plays; where it could not, it must say so instead.
    EXPECT_TRUE(good.furthest > 1.0 || good.failedLine) << "played to " << good.furthest << " s";

    // Not a video at all, and a video that is not there.
    server.setReply(QStringLiteral("/broken.mp4"), {200, "video/mp4", QByteArray(64 * 1024, 'x'), {}});
    server.setReply(QStringLiteral("/gone.mp4"), {404, "text/plain", "not found", {}});
    for (const char* path : {"/broken.mp4", "/gone.mp4"}) {
        SCOPED_TRACE(path);
        const Run bad = play(QString::fromLatin1(path), QStringLiteral("market-preview-failed"));
        EXPECT_TRUE(bad.failedLine);
        EXPECT_FALSE(bad.pretended);
        EXPECT_EQ(bad.furthest, 0);
    }
}
