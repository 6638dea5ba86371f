// log_text.h: the text pieces of a log entry (time stamp, UTF-8 encoding,
// folder of the log path). Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VexloTool {
namespace logtext {

// "HH:MM:SS" and three blanks.
constexpr size_t kStampLength = 11;

// Writes kStampLength characters.
inline char* WriteStamp(char* out, unsigned hour, unsigned minute, unsigned second) {
    const unsigned fields[3] = {hour % 100, minute % 100, second % 100};
    for (int i = 0; i < 3; ++i) {
        *out++ = static_cast<char>('0' + fields[i] / 10);
        *out++ = static_cast<char>('0' + fields[i] % 10);
        *out++ = i < 2 ? ':' : ' ';
    }
    *out++ = ' ';
    *out++ = ' ';
    return out;
}

// Reads one code point from UTF-16 (Windows) or UTF-32 (Linux) text.
// Unpaired surrogates and values past U+10FFFF become U+FFFD, as the
// platform converters do.
inline uint32_t NextCodePoint(const wchar_t* text, size_t length, size_t& at) {
    uint32_t cp = static_cast<uint32_t>(text[at++]);
    if (sizeof(wchar_t) == 2)
        cp &= 0xFFFFu;
    if (cp >= 0xD800 && cp <= 0xDBFF && at < length) {
        const uint32_t low = static_cast<uint32_t>(text[at]) & 0xFFFFu;
        if (sizeof(wchar_t) == 2 && low >= 0xDC00 && low <= 0xDFFF) {
            ++at;
            return 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0xFFFD;
    return cp;
}

inline size_t Utf8Length(const wchar_t* text, size_t length) {
    size_t bytes = 0;
    for (size_t at = 0; at < length;) {
        // ASCII runs are the common case.
        if (static_cast<uint32_t>(text[at]) < 0x80) {
            ++at;
            ++bytes;
            continue;
        }
        const uint32_t cp = NextCodePoint(text, length, at);
        bytes += cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return bytes;
}

// Writes exactly Utf8Length(text, length) bytes.
inline char* WriteUtf8(char* out, const wchar_t* text, size_t length) {
    for (size_t at = 0; at < length;) {
        const uint32_t c = static_cast<uint32_t>(text[at]);
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
            ++at;
            continue;
        }
        const uint32_t cp = NextCodePoint(text, length, at);
        if (cp < 0x800) {
            *out++ = static_cast<char>(0xC0 | (cp >> 6));
        } else if (cp < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (cp >> 12));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (cp >> 18));
            *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        }
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// The path up to, not including, its last separator ('\' or '/'); the whole
// path when it has none.
inline std::wstring DirectoryOf(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? path : path.substr(0, last);
}

}  // namespace logtext
}  // namespace VexloTool
