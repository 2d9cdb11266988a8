#include <string>

#include <gtest/gtest.h>

#include <SafeFS/HiddenName.h>

TEST(HiddenName, EveryNameMadeIsOfTheFormAndFitsAndNearMissesAreNot)
{
    const std::string digits = "0123456789abcdef";
    const std::string longLabel(240, 'g');
    std::string wide;
    for (int i = 0; i < 80; ++i)
        wide += "字";
    for (const std::string& label : {std::string("Glow"), std::string(), longLabel, wide, std::string(".x.loomwork-a")}) {
        SCOPED_TRACE(label);
        for (const char* purpose : {"install", "rewrite", "abcdefghijklmnop"}) {
            const std::string name = SafeFS::hiddenName(label, purpose, digits);
            EXPECT_LE(name.size(), 255u);
            EXPECT_TRUE(SafeFS::isHiddenForm(name)) << name;
        }
    }
    EXPECT_NE(SafeFS::hiddenLabel(longLabel), SafeFS::hiddenLabel(longLabel + "x"));

    const struct {
        const char* name;
        bool hidden;
    } cases[] = {
        {".Glow.loomwork-install-0123456789abcdef", true},
        {".zfcptool-extract-0123456789abcdef", true},
        {"..loomwork-replaced-0123456789abcdef", true},
        {".Glow.loomwork-install-0123456789ABCDEF", false},
        {".Glow.loomwork-install-0123456789abcde", false},
        {".Glow.loomwork-install-0123456789abcdef0", false},
        {".Glow.loomwork-in stall-0123456789abcdef", false},
        {".Glow.loomwork--0123456789abcdef", false},
        {"Glow.loomwork-install-0123456789abcdef", false},
        {".loomwork-rewrite-0123456789abcdef", false},
        {".Glow.loomwork-install0123456789abcdef", false},
        {".zfcptool--0123456789abcdef", false},
        {".a/b.loomwork-install-0123456789abcdef", false},
        {".notes", false},
        {".Glow.loomwork-Replaced-0123456789abcdef", false},
        {".Glow.loomwork-replaced-0123456789abcdef ", false},
        {".loomwork-rewrite-0123456789abcdef.record", false},
        {".zfcptool-run-00000000000000AA", false},
        {"x.zfcptool-run-0123456789abcdef", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SafeFS::isHiddenForm(c.name), c.hidden);
    }
}
