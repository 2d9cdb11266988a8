#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <SafeFS/HiddenName.h>

// Recovery acts on these forms, so a name counts only when it is exactly one of them.
TEST(HiddenName, OnlyExactFormsAreHidden)
{
    const std::string digits = "0123456789abcdef";
    const std::vector<std::pair<std::string, bool>> cases{
        {".Glow.loomwork-replaced-" + digits, true},
        {".New.loomwork-install-" + digits, true},
        {"..loomwork-install-" + digits, true},                         // empty label
        {".a b.loomwork-x.loomwork-discard-" + digits, true},           // the label is anything
        {".Glow.loomwork-laterpurpose-" + digits, true},
        {".loomwork-rewrite-" + digits, true},
        {".loomwork-rewrite-" + digits + ".record", true},
        {".zfcptool-run-00000000000000aa", true},
        {".zfcptool-extract-" + digits, true},
        {"", false},
        {"Glow", false},
        {".Glow", false},
        {"Glow.loomwork-replaced-" + digits, false},                    // no leading dot
        {".loomwork-install-" + digits, false},                         // no label
        {".Glow.loomwork-replaced-0123456789ABCDEF", false},
        {".Glow.loomwork-replaced-" + digits.substr(1), false},
        {".Glow.loomwork-replaced-0" + digits, false},
        {".Glow.loomwork-replaced" + digits, false},
        {".Glow.loomwork--" + digits, false},
        {".Glow.loomwork-Replaced-" + digits, false},
        {".Glow.loomwork-re-placed-" + digits, false},
        {".Glow.loomwork-replaced-" + digits + " ", false},
        {".loomwork-rewrite-" + digits + ".recorder", false},
        {".loomwork-rewrite-" + digits.substr(1) + ".record", false},
        {".zfcptool-run-00000000000000AA", false},
        {".zfcptool--" + digits, false},
        {".zfcptool-run-0123", false},
        {"x.zfcptool-run-" + digits, false},
    };
    for (const auto& [name, hidden] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(SafeFS::isHiddenForm(name), hidden);
    }
}
