// wprintf_test.cpp: conformance of _vsnwprintf and _vscwprintf with the
// Windows wide printf rules; passes on Windows (msvcrt) and on the Linux layer.
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "vxplatform.h"

namespace {

// Counts, then formats into a buffer of exactly that size; both calls must
// agree.
std::wstring Fmt(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int count = _vscwprintf(format, copy);
    va_end(copy);
    std::wstring out;
    if (count < 0) {
        va_end(args);
        return L"<cannot format>";
    }
    out.assign(static_cast<size_t>(count) + 1, L'#');
    const int n = _vsnwprintf(&out[0], out.size(), format, args);
    va_end(args);
    EXPECT_EQ(n, count) << "count and format disagree";
    EXPECT_EQ(out[static_cast<size_t>(count)], L'\0') << "not terminated";
    out.resize(static_cast<size_t>(count));
    return out;
}

int FormatInto(wchar_t* buffer, size_t count, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

TEST(WidePrintf, StringsAndCharactersFollowTheWindowsRule) {
    EXPECT_EQ(Fmt(L"<%s>", L"wide"), L"<wide>");
    EXPECT_EQ(Fmt(L"<%S>", "narrow"), L"<narrow>");
    EXPECT_EQ(Fmt(L"<%hs|%ls|%ws>", "h", L"l", L"w"), L"<h|l|w>");
    EXPECT_EQ(Fmt(L"<%c|%C|%hc|%lc|%wc>", L'x', 'y', 'z', L'q', L'r'), L"<x|y|z|q|r>");
    EXPECT_EQ(
        Fmt(L"<%s|%S>", static_cast<const wchar_t*>(nullptr), static_cast<const char*>(nullptr)),
        L"<(null)|(null)>");
    EXPECT_EQ(Fmt(L"<%.3s|%10s>", static_cast<const wchar_t*>(nullptr),
                  static_cast<const wchar_t*>(nullptr)),
              L"<(nu|    (null)>");
    EXPECT_EQ(Fmt(L"<%.3s|%5s|%-5s|%05s>", L"abcdef", L"ab", L"ab", L"ab"),
              L"<abc|   ab|ab   |000ab>");
    EXPECT_EQ(Fmt(L"<%.2S|%10S|%-4hs|>", "abc", "abc", "x"), L"<ab|       abc|x   |>");
    EXPECT_EQ(Fmt(L"<%*s|%-*s|%.*s|%*s>", 4, L"x", 3, L"y", 2, L"xyz", -3, L"z"),
              L"<   x|y  |xy|z  >");
    EXPECT_EQ(Fmt(L"<%c|%5c|%-3c|%05c>", 0x20AC, L'a', L'b', L'z'), L"<\u20ac|    a|b  |0000z>");
    EXPECT_EQ(Fmt(L"<%s>", L"\u00e9\u4e2d"), L"<\u00e9\u4e2d>");
    // A precision limits the characters read: the text need not end.
    const wchar_t unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(Fmt(L"<%.3s>", unterminated), L"<abc>");
}

TEST(WidePrintf, Integers) {
    EXPECT_EQ(Fmt(L"<%d|%5d|%-5d|%05d|%+d|% d>", 42, 42, 42, 42, 42, 42),
              L"<42|   42|42   |00042|+42| 42>");
    EXPECT_EQ(Fmt(L"<%d|%i|%u|%x|%X|%o>", -7, -7, 4000000000u, 0xBEEFu, 0xBEEFu, 8u),
              L"<-7|-7|4000000000|beef|BEEF|10>");
    EXPECT_EQ(Fmt(L"<%#x|%#X|%#o|%#x|%#o>", 255u, 255u, 8u, 0u, 0u), L"<0xff|0XFF|010|0|0>");
    EXPECT_EQ(Fmt(L"<%+u|%+x|% x>", 5u, 15u, 15u), L"<5|f|f>");
    EXPECT_EQ(Fmt(L"<%d|%d>", 2147483647, -2147483647 - 1), L"<2147483647|-2147483648>");
    EXPECT_EQ(Fmt(L"<%lld|%llu|%llx|%llX>", -5000000000LL, 18446744073709551615ULL, 0xFFFFFFFFFFULL,
                  0xABCULL),
              L"<-5000000000|18446744073709551615|ffffffffff|ABC>");
    EXPECT_EQ(Fmt(L"<%I64d|%I64u|%I64x|%I32d|%I32x>", -5000000000LL, 5000000000ULL, 0x123456789AULL,
                  -5, 0xABu),
              L"<-5000000000|5000000000|123456789a|-5|ab>");
    EXPECT_EQ(Fmt(L"<%Iu|%Id|%Ix|%zu>", static_cast<size_t>(123), static_cast<ptrdiff_t>(-4),
                  static_cast<size_t>(0xABC), static_cast<size_t>(9)),
              L"<123|-4|abc|9>");
    EXPECT_EQ(Fmt(L"<%ld|%lu|%lx>", -5L, 5UL, 0xABUL), L"<-5|5|ab>");
    EXPECT_EQ(Fmt(L"<%hd|%hu|%hx>", 40000, -1, -1), L"<-25536|65535|ffff>");
    EXPECT_EQ(Fmt(L"<%.3d|%.0d|%5.3d|%+5.2d|%-05d|%5.0d|>", 7, 0, 7, 4, 3, 0),
              L"<007||  007|  +04|3    |     |>");
    EXPECT_EQ(Fmt(L"<%.0x|%#.0x|%.0o|%#.0o|>", 0u, 0u, 0u, 0u), L"<||||>");
    EXPECT_EQ(Fmt(L"<%*d|%-*d|%*d|%.*d|%0*d>", 5, 1, 5, 1, -4, 1, -1, 7, 5, 42),
              L"<    1|1    |1   |7|00042>");
    EXPECT_EQ(Fmt(L"<%.20d>", 5), L"<00000000000000000005>");
}

TEST(WidePrintf, FloatsUseThreeDigitExponents) {
    EXPECT_EQ(Fmt(L"<%f|%.2f|%10.3f|%-10.1f|%e|%E|%g|%G>", 3.14159, 2.5, -1.5, 1.26, 12345.678,
                  0.00012, 0.0001, 1e20),
              L"<3.141590|2.50|    -1.500|1.3       |1.234568e+004|1.200000E-004|0.0001|1E+020>");
    EXPECT_EQ(Fmt(L"<%g|%g|%g|%#g|%.3g>", 100000.0, 1000000.0, 1.5e-5, 1.0, 1234567.0),
              L"<100000|1e+006|1.5e-005|1.00000|1.23e+006>");
    EXPECT_EQ(
        Fmt(L"<%e|%e|%12.3e|%-12.3e|%012.3e|%+e|%#.0e>", 1e100, 1e-300, 3.0, 3.0, -3.0, 1.0, 5.0),
        L"<1.000000e+100|1.000000e-300|  3.000e+000|3.000e+000  |-03.000e+000|"
        L"+1.000000e+000|5.e+000>");
    EXPECT_EQ(Fmt(L"<%f|%010.2f|%-+8.1f|% f|%#.0f|%.3f>", 1e20, -3.14159, 2.0, 1.0, 3.0, -0.0004),
              L"<100000000000000000000.000000|-000003.14|+2.0    | 1.000000|3.|-0.000>");
    EXPECT_EQ(Fmt(L"<%.*f|%*.*f>", 2, 3.14159, 8, 1, 2.26), L"<3.14|     2.3>");
}

TEST(WidePrintf, PointersPercentAndUnknownConversions) {
    const std::wstring zeros(2 * sizeof(void*) - 6, L'0');
    EXPECT_EQ(Fmt(L"<%p>", reinterpret_cast<void*>(0xABCDEF)), L"<" + zeros + L"ABCDEF>");
    EXPECT_EQ(Fmt(L"<%p>", static_cast<void*>(nullptr)),
              L"<" + std::wstring(2 * sizeof(void*), L'0') + L">");
    EXPECT_EQ(Fmt(L"<%%|100%%>"), L"<%|100%>");
    // An unknown conversion prints its character and takes no argument.
    EXPECT_EQ(Fmt(L"<%y|%5k|%d>", 7), L"<y|k|7>");
    EXPECT_EQ(Fmt(L"<%I6d>"), L"<I6d>");
    // A lone '%' at the end prints nothing.
    EXPECT_EQ(Fmt(L"abc%"), L"abc");
    EXPECT_EQ(Fmt(L""), L"");
    EXPECT_EQ(Fmt(L"plain text"), L"plain text");
}

TEST(WidePrintf, LongTextIsCountedAndWrittenWhole) {
    EXPECT_EQ(Fmt(L"%300d", 1).size(), 300u);
    const std::wstring big(100000, L'x');
    EXPECT_EQ(Fmt(L"[%s]", big.c_str()), L"[" + big + L"]");
}

TEST(WidePrintf, BufferLimitSemantics) {
    struct Case {
        size_t capacity;
        int result;
        const wchar_t* stored;  // what the buffer then begins with
        bool terminated;
    };
    const Case cases[] = {
        {3, -1, L"abc", false},
        {6, 6, L"abcdef", false},
        {7, 6, L"abcdef", true},
        {16, 6, L"abcdef", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        wchar_t buffer[20];
        std::wmemset(buffer, L'#', 20);
        EXPECT_EQ(FormatInto(buffer, c.capacity, L"abc%s", L"def"), c.result);
        const size_t stored = std::wcslen(c.stored);
        EXPECT_EQ(std::wstring(buffer, stored), c.stored);
        EXPECT_EQ(buffer[stored], c.terminated ? L'\0' : L'#');
    }
    wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(FormatInto(buffer, 0, L"x"), -1);
    EXPECT_EQ(buffer[0], L'#');
}

#if !defined(_WIN32)
// Narrow strings are read in the ANSI code page, which is UTF-8 on Linux
// (Windows uses the system code page, so these differ there).
TEST(WidePrintf, NarrowTextIsUtf8OnLinux) {
    EXPECT_EQ(Fmt(L"<%S>", "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80"),
              L"<\u00e9t\u00e9 \u4e2d \U0001F600>");
    EXPECT_EQ(Fmt(L"<%.1S|%3S>", "\xc3\xa9x", "\xc3\xa9"), L"<\u00e9|  \u00e9>");
    // Invalid bytes each become U+FFFD; decoding never reads past the end.
    EXPECT_EQ(Fmt(L"<%S>", "a\xff\xc3"), L"<a\ufffd\ufffd>");
    EXPECT_EQ(Fmt(L"<%S>", "\xed\xa0\x80"), L"<\ufffd\ufffd\ufffd>");  // a surrogate
    EXPECT_EQ(Fmt(L"<%C>", 0xE9), L"<\ufffd>");
}

// Deviation: %n writes through an argument pointer; the layer refuses it.
TEST(WidePrintf, PercentNIsRefusedOnLinux) {
    int count = 0;
    EXPECT_EQ(Fmt(L"ab%ncd", &count), L"<cannot format>");
    EXPECT_EQ(count, 0);
}

TEST(WidePrintf, NullFormatFailsOnLinux) {
    wchar_t buffer[4];
    EXPECT_EQ(FormatInto(buffer, 4, nullptr), -1);
    EXPECT_EQ(FormatInto(nullptr, 4, L"x"), -1);
}
#endif

}  // namespace
