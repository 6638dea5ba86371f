// log_text_test.cpp: time stamps, UTF-8 encoding and log folders of the log
// writer's entries.
#include <string>

#include <gtest/gtest.h>

#include "log/log_text.h"

namespace {

using namespace VexloTool::logtext;

std::string Utf8(const std::wstring& text) {
    // The length is exact: the encoder writes precisely that many bytes.
    const size_t length = Utf8Length(text.data(), text.size());
    std::string out(length + 1, '#');
    EXPECT_EQ(WriteUtf8(&out[0], text.data(), text.size()), &out[0] + length);
    EXPECT_EQ(out.back(), '#');
    out.pop_back();
    return out;
}

TEST(LogText, StampIsTwoDigitFieldsAndThreeBlanks) {
    struct Case {
        unsigned h, m, s;
        const char* expected;
    };
    const Case cases[] = {
        {0, 0, 5, "00:00:05   "},
        {9, 5, 7, "09:05:07   "},
        {23, 59, 59, "23:59:59   "},
        {12, 30, 0, "12:30:00   "},
    };
    for (const Case& c : cases) {
        char out[kStampLength + 1] = {};
        EXPECT_EQ(WriteStamp(out, c.h, c.m, c.s), out + kStampLength);
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(LogText, Utf8Encoding) {
    struct Case {
        std::wstring text;
        std::string bytes;
    };
    const std::wstring supplementary = sizeof(wchar_t) == 2
                                           ? std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}
                                           : std::wstring(1, static_cast<wchar_t>(0x1F600));
    const std::wstring loneHigh = {wchar_t(0xD83D), L'x'};
    const std::wstring loneLow = {wchar_t(0xDE00)};
    const Case cases[] = {
        {L"", ""},
        {L"ready", "ready"},
        {L"\u00e9", "\xc3\xa9"},
        {L"\u07ff\u0800", "\xdf\xbf\xe0\xa0\x80"},
        {L"\u4e2d\u6587", "\xe4\xb8\xad\xe6\x96\x87"},
        {L"\uffff", "\xef\xbf\xbf"},
        {supplementary, "\xf0\x9f\x98\x80"},
        // Unpaired surrogates become U+FFFD, as the platform converters do.
        {loneHigh, "\xef\xbf\xbdx"},
        {loneLow, "\xef\xbf\xbd"},
        {std::wstring(1, L'\0') + L"a", std::string("\0a", 2)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8(c.text), c.bytes);
    }
    // A high surrogate at the very end is not paired with what follows it;
    // on Linux a value past U+10FFFF cannot be encoded either.
    if (sizeof(wchar_t) == 2) {
        EXPECT_EQ(Utf8(supplementary.substr(0, 1)), "\xef\xbf\xbd");
    } else {
        EXPECT_EQ(Utf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xef\xbf\xbd");
    }
}

TEST(LogText, DirectoryOfPath) {
    struct Case {
        const wchar_t* path;
        const wchar_t* dir;
    };
    const Case cases[] = {
        {L"C:\\logs\\app.log", L"C:\\logs"},
        {L"app.log", L"app.log"},
        {L"C:\\logs\\", L"C:\\logs"},
        {L"/var/log/app.log", L"/var/log"},
        {L"C:\\logs/sub\\app.log", L"C:\\logs/sub"},
        {L"logs/sub/", L"logs/sub"},
        {L"/app.log", L""},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DirectoryOf(c.path), c.dir) << "path " << testing::PrintToString(c.path);
    }
}

}  // namespace
