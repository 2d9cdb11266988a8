#include <string>

#include <gtest/gtest.h>

#include "engine/files/LibraryWalk.h"

// Each sequence is checked after ASCII runs of several lengths, so that it falls at every
// place of the 16-byte blocks the check skips through, and (when not cut) before ASCII.
TEST(LibraryWalkUtf8, ValidInvalidAndCutSequencesAtEveryPlaceOfABlock)
{
    struct Case {
        std::string bytes;
        std::size_t valid;
        bool cut;
    };
    const Case cases[] = {
        {"", 0, false},
        {"<ozml version=\"5.10\">", 21, false},
        {"\xC2\x80\xDF\xBF", 4, false},
        {"\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", 9, false},
        {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 8, false},
        {"\xE6\x8F\x92\xE4\xBB\xB6", 6, false}, // 插件
        {"\xC0\x80", 0, false},                 // overlong
        {"\xE0\x9F\x80", 0, false},
        {"\xED\xA0\x80", 0, false}, // a surrogate
        {"\xF0\x8F\xBF\xBF", 0, false},
        {"\xF4\x90\x80\x80", 0, false}, // above U+10FFFF
        {"\x80", 0, false},
        {"\xFF", 0, false},
        {"\xE6\x8Fx", 0, false},
        {"x\xE6\x8F\x92\xE6\x8F\x92\x80", 7, false},
        {"\xE6", 0, true},
        {"ab\xE6\x8F", 2, true},
        {"\xF0\x9F\x98", 0, true},
        {"\xE6\x8F\x92\xC3", 3, true},
        {"\xE0\x80", 0, false}, // ill-formed before the end cuts it
    };
    for (const Case& c : cases) {
        for (const std::size_t pad : {0, 5, 8, 15, 16, 17, 24, 40}) {
            SCOPED_TRACE(testing::Message() << "case " << &c - cases << ", " << pad << " ASCII bytes before");
            const std::string text = std::string(pad, 'a') + c.bytes;
            auto check = LibraryWalk::checkUtf8(text.data(), text.size());
            EXPECT_EQ(check.validLength, pad + c.valid);
            EXPECT_EQ(check.cutAtEnd, c.cut);
            if (c.cut)
                continue;
            const std::string followed = text + std::string(20, 'z');
            const bool whole = c.valid == c.bytes.size();
            check = LibraryWalk::checkUtf8(followed.data(), followed.size());
            EXPECT_EQ(check.validLength, whole ? followed.size() : pad + c.valid);
            EXPECT_FALSE(check.cutAtEnd);
        }
    }
}
