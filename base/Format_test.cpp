#include "base/Format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::wstring fmt(const wchar_t* f, ...) {
    va_list args;
    va_start(args, f);
    std::wstring s = VFormatWideString(f, args);
    va_end(args);
    return s;
}

TEST(FormatWide, WideAndNarrowStringsFollowTheSystemsMeaning) {
    EXPECT_EQ(fmt(L"%s|%S", L"wide", "narrow"), L"wide|narrow");
    EXPECT_EQ(fmt(L"%ls|%hs|%ws|%lS", L"a", "b", L"c", L"d"), L"a|b|c|d");
    EXPECT_EQ(fmt(L"[%-5.5s]", L"WARN"), L"[WARN ]");
    EXPECT_EQ(fmt(L"[%-5.5s]", L"DEBUGGING"), L"[DEBUG]");
    EXPECT_EQ(fmt(L"[%8s][%-3S]", L"ab", "xy"), L"[      ab][xy ]");
    EXPECT_EQ(fmt(L"%s %S", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
              L"(null) (null)");
}

TEST(FormatWide, NarrowTextIsUtf8AndStopsAtTheFirstBadSequence) {
    EXPECT_EQ(fmt(L"%S", "caf\xC3\xA9 \xE2\x82\xAC"), L"caf\u00E9 \u20AC");
    EXPECT_EQ(fmt(L"<%S>", "ok\xFF then more"), L"<ok>");
    EXPECT_EQ(fmt(L"<%S>", "\xE2\x82"), L"<>");
}

TEST(FormatWide, PrecisionBoundsWhatIsRead) {
    // Neither text is terminated within the precision: reading past it would be caught by ASan.
    char narrow[4] = {'a', 'b', 'c', 'd'};
    wchar_t wide[3] = {L'x', L'y', L'z'};
    EXPECT_EQ(fmt(L"%.4S|%.3s", narrow, wide), L"abcd|xyz");
    EXPECT_EQ(fmt(L"%.*S", 2, narrow), L"ab");
    // A multi-byte character cut by the byte bound is dropped, not half-read.
    char euro[3] = {'\xE2', '\x82', '\xAC'};
    EXPECT_EQ(fmt(L"[%.2S]", euro), L"[]");
    EXPECT_EQ(fmt(L"[%.1S]", "\xC3\xA9xyz"), L"[]");
}

TEST(FormatWide, Integers) {
    EXPECT_EQ(fmt(L"%d %i %u", -5, 7, 4000000000u), L"-5 7 4000000000");
    EXPECT_EQ(fmt(L"%x %X %o %#x", 255, 0xABCDu, 8, 255), L"ff ABCD 10 0xff");
    EXPECT_EQ(fmt(L"%08X|%-6d|%+d|% d|%.3d", 0x1F, 42, 3, 3, 7), L"0000001F|42    |+3| 3|007");
    EXPECT_EQ(fmt(L"%*d|%-*d|%*d", 5, 1, 3, 2, -3, 9), L"    1|2  |9  ");
    EXPECT_EQ(fmt(L"%hd %hu %hhd %hhu", 70000, 70000, 300, 300), L"4464 4464 44 44");
    EXPECT_EQ(fmt(L"%lld %llu %llX", INT64_MIN, UINT64_MAX, 0x123456789ABCDEFull),
              L"-9223372036854775808 18446744073709551615 123456789ABCDEF");
    EXPECT_EQ(fmt(L"%zu %jd", static_cast<size_t>(123), static_cast<intmax_t>(-9)), L"123 -9");
}

TEST(FormatWide, LongMeansThirtyTwoBits) {
    // The callers pass a 32-bit LONG for %ld and %lx; a following argument must still line up.
    int32_t code = -2147467259;  // 0x80004005
    EXPECT_EQ(fmt(L"hr = %ld - 0x%lx [%s]", code, code, L"next"), L"hr = -2147467259 - 0x80004005 [next]");
    EXPECT_EQ(fmt(L"%lu %d", 4294967295u, 1), L"4294967295 1");
}

TEST(FormatWide, FloatsCharactersPointersAndPercent) {
    EXPECT_EQ(fmt(L"%f %.2f %e %g", 1.5, 2.345, 1000.0, 0.0001), L"1.500000 2.35 1.000000e+03 0.0001");
    EXPECT_EQ(fmt(L"%8.3f|%-8.1f|", 3.14159, 2.0), L"   3.142|2.0     |");
    EXPECT_EQ(fmt(L"%Lf", 1.25L), L"1.250000");
    EXPECT_EQ(fmt(L"%c%c%C%lc", L'a', 0x20AC, 'b', L'c'), L"a\u20ACbc");
    EXPECT_EQ(fmt(L"%C", 0xE9), L"\u00E9");
    EXPECT_EQ(fmt(L"100%%"), L"100%");
    EXPECT_EQ(fmt(L"%p", reinterpret_cast<void*>(0xABCD)),
              sizeof(void*) == 8 ? L"000000000000ABCD" : L"0000ABCD");
}

TEST(FormatWide, MalformedConversionsAreShownAndTakeNoArgument) {
    EXPECT_EQ(fmt(L"%y %d", 5), L"%y 5");
    EXPECT_EQ(fmt(L"end %"), L"end %");
    EXPECT_EQ(fmt(L"end %-08"), L"end %-08");
    EXPECT_EQ(fmt(L"%I64d %d", 3), L"%I64d 3");
    int n = 0;
    EXPECT_EQ(fmt(L"a%nb", &n), L"ab");
    EXPECT_EQ(n, 0);
}

TEST(FormatWide, HugeWidthsAreBounded) {
    std::wstring s = fmt(L"%999999999d", 1);
    EXPECT_LE(s.size(), 4096u);
    EXPECT_EQ(s.back(), L'1');
    EXPECT_EQ(fmt(L"%.999999999s", L"short"), L"short");
}

TEST(FormatWide, FixedBufferCutsAndTerminates) {
    wchar_t buf[8];
    std::wmemset(buf, L'#', 8);
    size_t n = FormatWide(buf, 8, L"%s-%d", L"abcdef", 12345);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(std::wstring(buf), L"abcdef-");
    n = FormatWide(buf, 8, L"%08d", 5);
    EXPECT_EQ(std::wstring(buf), L"0000000");
    n = FormatWide(buf, 1, L"anything");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buf[0], L'\0');
    EXPECT_EQ(FormatWide(buf, 8, nullptr), 0u);
}

}  // namespace
