#include <gtest/gtest.h>

#include "ui/AvatarModel.h"
#include "support/app/QtPrint.h"

namespace {

using Content = AvatarModel::Content;
using Opt = std::optional<QString>;

} // namespace

TEST(AvatarModelTest, InitialIsTheFirstGraphemeOfTheTrimmedName)
{
    struct Case {
        const char* label;
        Opt name;
        Opt initial;
    };
    const Case cases[] = {
        {"Chinese", QStringLiteral("阿林"), QStringLiteral("阿")},
        {"leading blanks", QStringLiteral("  bob"), QStringLiteral("b")},
        {"combining accent stays with its letter", QStringLiteral("e\u0301lan"), QStringLiteral("e\u0301")},
        {"surrogate pair stays whole", QStringLiteral("\U0001F600 smile"), QStringLiteral("\U0001F600")},
        {"family emoji joined by ZWJ",
         QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467 home"),
         QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467")},
        {"flag of two regional indicators", QStringLiteral("\U0001F1E8\U0001F1F3中国"),
         QStringLiteral("\U0001F1E8\U0001F1F3")},
        {"right-to-left", QStringLiteral("مرحبا"), QStringLiteral("م")},
        {"markup is just text", QStringLiteral("<b>x</b>"), QStringLiteral("<")},
        {"only blanks", QStringLiteral(" \n "), std::nullopt},
        {"none", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(AvatarModel::initialOf(c.name), c.initial);
    }
}

TEST(AvatarModelTest, NicknameWinsAndOnlyWebAddressesArePictures)
{
    const QString picture = QStringLiteral("https://cdn.example.com/a/b.png?x=1");
    struct Case {
        const char* label;
        Opt name;
        Opt url;
        Content content;
    };
    const Case cases[] = {
        {"name with picture: initial, picture unused", QStringLiteral("阿林"), picture, Content::initial},
        {"blank name with picture", QStringLiteral("   "), picture, Content::picture},
        {"no name with plain http", std::nullopt, QStringLiteral("http://example.com/a.png"), Content::picture},
        {"scheme in capitals", std::nullopt, QStringLiteral("HTTPS://EXAMPLE.COM/a.png"), Content::picture},
        {"blank name, no address", QStringLiteral(" "), std::nullopt, Content::placeholder},
        {"nothing at all", std::nullopt, std::nullopt, Content::placeholder},
        {"empty address", std::nullopt, QStringLiteral(""), Content::placeholder},
        {"not a URL", std::nullopt, QStringLiteral("not a url"), Content::placeholder},
        {"local file", std::nullopt, QStringLiteral("file:///etc/passwd"), Content::placeholder},
        {"ftp", std::nullopt, QStringLiteral("ftp://example.com/a.png"), Content::placeholder},
        {"script", std::nullopt, QStringLiteral("javascript:alert(1)"), Content::placeholder},
        {"data URL", std::nullopt, QStringLiteral("data:image/png;base64,iVBORw0KGgo="), Content::placeholder},
        {"http without host", std::nullopt, QStringLiteral("http:///a.png"), Content::placeholder},
        {"relative path", std::nullopt, QStringLiteral("/avatar/1.png"), Content::placeholder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const AvatarModel model(c.name, c.url);
        EXPECT_EQ(model.content(), c.content);
        EXPECT_EQ(model.pictureUrl().isEmpty(), c.content != Content::picture);
        EXPECT_EQ(model.initial().isEmpty(), c.content != Content::initial);
    }
}
