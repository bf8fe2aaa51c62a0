#include <gtest/gtest.h>

#include "base/Text.h"

TEST(NarrowToWide, ReadsOneToThreeByteSequencesAndStopsAtTheFirstBadOne) {
    EXPECT_EQ(L"abc", NarrowToWide("abc"));
    EXPECT_EQ(L"\u00e9\u20ac", NarrowToWide("\xC3\xA9\xE2\x82\xAC"));
    // A lone continuation byte, a cut sequence and a four-byte form all end the text.
    EXPECT_EQ(L"ab", NarrowToWide("ab\x80zz"));
    EXPECT_EQ(L"x", NarrowToWide(std::string("x\xE2\x82", 3)));
    EXPECT_EQ(L"y", NarrowToWide("y\xF0\x9F\x98\x80"));
    EXPECT_EQ(L"a", NarrowToWide("a\xC3(b"));
    // Embedded zero bytes are characters like any other.
    EXPECT_EQ(std::wstring(L"a\0b", 3), NarrowToWide(std::string("a\0b", 3)));
}

TEST(WideToUtf8, OneToThreeBytesPerUnit) {
    EXPECT_EQ("A\xC3\xA9\xE2\x82\xAC", WideToUtf8(L"A\u00e9\u20ac"));
    // U+1F600 is written as its two UTF-16 halves, three bytes each.
    EXPECT_EQ("\xED\xA0\xBD\xED\xB8\x80", WideToUtf8(std::wstring(1, wchar_t(0x1F600))));
    EXPECT_EQ(L"\u00e9\u20ac", NarrowToWide(WideToUtf8(L"\u00e9\u20ac")));
}

TEST(SplitText, KeepsEmptyPiecesAndTheWholeTextWithoutSeparator) {
    using V = std::vector<std::wstring>;
    EXPECT_EQ((V{L"a", L"", L"b"}), SplitText(L"a//b", L"/"));
    EXPECT_EQ((V{L"tv.channel.dvbt", L"474000/8"}), SplitText(L"tv.channel.dvbt/#/474000/8", L"/#/"));
    EXPECT_EQ((V{L"", L""}), SplitText(L"/#/", L"/#/"));
    EXPECT_EQ((V{L"abc"}), SplitText(L"abc", L""));
    EXPECT_EQ((V{L""}), SplitText(L"", L"/"));
}
