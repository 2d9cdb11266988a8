#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include "market/MarketMediaModel.h"

namespace {

class FakePlayer : public PreviewPlayer {
public:
    using PreviewPlayer::PreviewPlayer;
    void setSource(const QUrl& url) override { source = url; }
    void play() override { playing = true; }
    void pause() override { playing = false; }
    void seek(double seconds) override { seeks.push_back(seconds); }
    void setMuted(bool m) override { muted = m; }
    QImage frame() const override { return {}; }
    bool playWithoutSound() override
    {
        if (!sound)
            return false;
        sound = false;
        ++*silentStarts;
        return true;
    }

    QUrl source;
    bool playing = false;
    bool muted = false;
    bool sound = true;
    int* silentStarts = nullptr; // the panel's count, which outlives the player
    std::vector<double> seeks;
};

struct Panel {
    explicit Panel(const char* video)
        : model(std::nullopt, QString::fromUtf8(video), [this](QObject* parent) {
            ++made;
            last = new FakePlayer(parent);
            last->silentStarts = &silentStarts;
            return last;
        })
    {
    }
    FakePlayer* last = nullptr;
    int made = 0;
    int silentStarts = 0;
    MarketMediaModel model;
};

} // namespace

TEST(MarketMediaModelTest, TimeTextAndPlayableNames)
{
    const std::pair<double, const char*> times[] = {
        {-1, "0:00"}, {std::nan(""), "0:00"}, {INFINITY, "0:00"}, {0.4, "0:00"},
        {0.5, "0:01"}, {59.5, "1:00"}, {3725, "62:05"}};
    for (const auto& [seconds, text] : times)
        EXPECT_EQ(MarketMediaModel::timeText(seconds), QString::fromLatin1(text)) << seconds;

    const std::pair<const char*, bool> names[] = {
        {"https://x/a.MP4?sig=1", true}, {"https://x/a.mov", true}, {"https://x/a.mp4.html", false},
        {"", false}, {"???", false}, {"?x=a.mp4", false}, {"??x.m4v", false}};
    for (const auto& [name, playable] : names)
        EXPECT_EQ(MarketMediaModel::isInlinePlayable(QString::fromLatin1(name)), playable) << name;
    EXPECT_FALSE(MarketMediaModel::isInlinePlayable(std::nullopt));
}

TEST(MarketMediaModelTest, PauseResumesWhereItStoppedAndTheEndReturnsToTheCover)
{
    Panel panel("https://cdn.example/p.mp4");
    panel.model.toggleMuted();
    panel.model.startPreview();
    ASSERT_EQ(panel.made, 1);
    // Nothing moves yet: the cover says it is opening, never the playing face at 0:00 / 0:00.
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
    EXPECT_TRUE(panel.model.startingPlayback());
    EXPECT_TRUE(panel.last->muted);
    EXPECT_EQ(panel.model.sliderMaximum(), 0.1);

    emit panel.last->durationChanged(30);
    emit panel.last->positionChanged(0);
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover) << "a position that stands still";
    emit panel.last->positionChanged(12.3);
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::playing);
    EXPECT_FALSE(panel.model.startingPlayback());
    panel.model.pauseToCover();
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
    panel.model.startPreview();
    EXPECT_EQ(panel.made, 1);
    EXPECT_EQ(panel.last->seeks.back(), 12.3);
    EXPECT_EQ(panel.model.timeLine(), QStringLiteral("0:12 / 0:30"));
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover) << "resumed, but not moving yet";
    emit panel.last->positionChanged(12.4);
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::playing);

    emit panel.last->playedToEnd();
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
    EXPECT_EQ(panel.model.resumeAt(), 0);
    panel.model.startPreview();
    EXPECT_EQ(panel.made, 2);
    EXPECT_TRUE(panel.last->seeks.empty());
    EXPECT_TRUE(panel.last->muted); // the mute choice outlives the player
}

TEST(MarketMediaModelTest, RefusedAddressesNeverReachThePlayer)
{
    for (const char* video : {"file:///etc/passwd.mp4", "filesrc location=/x.mp4 ! decodebin", ""}) {
        SCOPED_TRACE(video);
        Panel panel(video);
        panel.model.startPreview();
        EXPECT_EQ(panel.made, 0);
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
    }
}

TEST(MarketMediaModelTest, SiteLinksOpenThePlayerPageOnceAndLateAnswersAreDropped)
{
    Panel panel("https://www.bilibili.com/video/BV1xx411c7mD.mp4");
    std::vector<std::function<void(const std::optional<QUrl>&)>> pending;
    panel.model.setEmbedResolver([&](const std::optional<QString>&, QObject*, auto done) { pending.push_back(done); });

    panel.model.startPreview();
    panel.model.startPreview(); // while preparing: nothing
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(panel.made, 0);
    pending[0](std::nullopt);
    EXPECT_EQ(panel.model.webError(), MarketMediaModel::linkFailedText());

    panel.model.startPreview();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_FALSE(panel.model.webError());
    panel.model.leave();
    pending[1](QUrl("https://player.bilibili.com/player.html"));
    EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
    EXPECT_FALSE(panel.model.preparingWeb());
}

// A player that never gets going (its sound output holds it) is tried once more without
// sound, shown muted; one that still stands, or reports a failure, leaves the cover with the
// line that it cannot play. The playing face never shows while nothing moves.
TEST(MarketMediaModelTest, APlayerThatDoesNotStartPlaysWithoutSoundOrSaysItCannotPlay)
{
    {
        SCOPED_TRACE("starts without sound");
        Panel panel("https://cdn.example/p.mp4");
        panel.model.setStartLimit(20);
        panel.model.startPreview();
        ASSERT_TRUE(QTest::qWaitFor([&] { return panel.silentStarts == 1; }, 10000));
        EXPECT_TRUE(panel.model.muted());
        EXPECT_TRUE(panel.model.startingPlayback());
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
        emit panel.last->positionChanged(0.1);
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::playing);
        EXPECT_FALSE(panel.model.playError());
    }
    {
        SCOPED_TRACE("stands still without sound too");
        Panel panel("https://cdn.example/p.mp4");
        panel.model.setStartLimit(20);
        panel.model.startPreview();
        ASSERT_TRUE(QTest::qWaitFor([&] { return panel.model.playError().has_value(); }, 10000));
        EXPECT_EQ(*panel.model.playError(), MarketMediaModel::playFailedText());
        EXPECT_EQ(panel.silentStarts, 1);
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
        EXPECT_FALSE(panel.model.startingPlayback());
        EXPECT_FALSE(panel.model.player()) << "the stuck player is let go";
    }
    {
        SCOPED_TRACE("reports a failure");
        Panel panel("https://cdn.example/p.mp4");
        panel.model.startPreview();
        emit panel.last->failed();
        EXPECT_EQ(panel.model.playError(), MarketMediaModel::playFailedText());
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::cover);
        // A new try starts clean.
        panel.model.startPreview();
        EXPECT_EQ(panel.made, 2);
        EXPECT_FALSE(panel.model.playError());
        emit panel.last->positionChanged(0.2);
        EXPECT_EQ(panel.model.face(), MarketMediaModel::Face::playing);
        panel.model.leave();
        EXPECT_FALSE(panel.model.playError());
    }
}
