// file.cpp: _wfopen, C streams opened by wide path.
// Conformance tests: tests/platform/file_test.cpp.
#include "vxplatform/file.h"

#include <cerrno>
#include <cstdint>
#include <string>

namespace {

// Paths are UTF-8 on Linux. A code point that UTF-8 cannot carry (a
// surrogate or a value past U+10FFFF) makes the path unusable.
bool ToUtf8(const wchar_t* text, std::string& out) {
    for (; *text; ++text) {
        const auto cp = static_cast<uint32_t>(*text);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            return false;
        }
    }
    return true;
}

bool TranslateMode(const wchar_t* mode, std::string& out) {
    if (!*mode)
        return false;
    for (const wchar_t* p = mode; *p; ++p) {
        switch (*p) {
            case L'r':
            case L'w':
            case L'a':
            case L'+':
            case L'x':
                out.push_back(static_cast<char>(*p));
                break;
            case L'b':
            case L't':
            case L'c':
            case L'n':
            case L'N':
            case L'S':
            case L'R':
            case L'T':
            case L'D':
                break;
            default:
                return false;  // ", ccs=..." and anything unknown
        }
    }
    out.push_back('e');
    return true;
}

}  // namespace

FILE* _wfopen(const wchar_t* path, const wchar_t* mode) {
    std::string narrowPath;
    std::string narrowMode;
    if (!path || !mode || !TranslateMode(mode, narrowMode)) {
        errno = EINVAL;
        return nullptr;
    }
    if (!ToUtf8(path, narrowPath)) {
        errno = ENOENT;
        return nullptr;
    }
    return std::fopen(narrowPath.c_str(), narrowMode.c_str());
}
