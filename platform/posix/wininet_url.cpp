// wininet_url.cpp: InternetCrackUrlW, and the code page conversion that
// HTTP text goes through. Conformance tests: tests/platform/wininet_test.cpp.
#include "vxplatform.h"

#include <cstring>
#include <cwchar>
#include <string>

namespace {

struct Piece {
    const wchar_t* text = nullptr;
    size_t length = 0;
};

INTERNET_SCHEME SchemeNumber(const std::wstring& scheme) {
    static const struct {
        const wchar_t* name;
        INTERNET_SCHEME number;
    } kSchemes[] = {{L"http", INTERNET_SCHEME_HTTP},
                    {L"https", INTERNET_SCHEME_HTTPS},
                    {L"ftp", INTERNET_SCHEME_FTP},
                    {L"file", INTERNET_SCHEME_FILE}};
    for (const auto& s : kSchemes) {
        if (wcscasecmp(s.name, scheme.c_str()) == 0)
            return s.number;
    }
    return INTERNET_SCHEME_UNKNOWN;
}

INTERNET_PORT DefaultPort(INTERNET_SCHEME scheme) {
    switch (scheme) {
        case INTERNET_SCHEME_HTTP:
            return INTERNET_DEFAULT_HTTP_PORT;
        case INTERNET_SCHEME_HTTPS:
            return INTERNET_DEFAULT_HTTPS_PORT;
        case INTERNET_SCHEME_FTP:
            return 21;
        default:
            return 0;
    }
}

// Hands one component out: copied into the caller's buffer, or pointed at
// inside the URL when the caller gave a length but no buffer.
bool Give(const Piece& piece, LPWSTR& buffer, DWORD& length) {
    if (buffer && length) {
        if (piece.length + 1 > length) {
            length = static_cast<DWORD>(piece.length + 1);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        wmemcpy(buffer, piece.text ? piece.text : L"", piece.length);
        buffer[piece.length] = L'\0';
        length = static_cast<DWORD>(piece.length);
    } else if (length) {
        buffer = const_cast<LPWSTR>(piece.text);
        length = static_cast<DWORD>(piece.length);
    }
    return true;
}

}  // namespace

BOOL InternetCrackUrlW(LPCWSTR url, DWORD urlLength, DWORD, LPURL_COMPONENTSW parts) {
    if (!url || !parts || parts->dwStructSize != sizeof(URL_COMPONENTSW)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t size = urlLength ? urlLength : wcslen(url);
    const wchar_t* const end = url + size;
    const wchar_t* colon = url;
    while (colon < end && *colon != L':')
        ++colon;
    if (colon == end || colon == url) {
        SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return FALSE;
    }
    Piece scheme{url, static_cast<size_t>(colon - url)}, host, user, password, path, extra;
    const INTERNET_SCHEME number = SchemeNumber(std::wstring(scheme.text, scheme.length));
    INTERNET_PORT port = DefaultPort(number);
    const wchar_t* p = colon + 1;
    if (end - p >= 2 && p[0] == L'/' && p[1] == L'/') {
        p += 2;
        const wchar_t* authorityEnd = p;
        while (authorityEnd < end && *authorityEnd != L'/' && *authorityEnd != L'?' &&
               *authorityEnd != L'#')
            ++authorityEnd;
        const wchar_t* at = authorityEnd;
        while (at > p && at[-1] != L'@')
            --at;
        if (at > p) {  // user[:password]@
            const wchar_t* sep = p;
            while (sep < at - 1 && *sep != L':')
                ++sep;
            user = {p, static_cast<size_t>(sep - p)};
            if (sep < at - 1)
                password = {sep + 1, static_cast<size_t>(at - 1 - sep - 1)};
            p = at;
        }
        const wchar_t* portSep = authorityEnd;
        const wchar_t* scan = authorityEnd;
        while (scan > p && scan[-1] != L':' && scan[-1] != L']')
            --scan;
        if (scan > p && scan[-1] == L':')
            portSep = scan - 1;
        host = {p, static_cast<size_t>(portSep - p)};
        if (portSep < authorityEnd) {
            unsigned long value = 0;
            const wchar_t* digit = portSep + 1;
            for (; digit < authorityEnd && *digit >= L'0' && *digit <= L'9'; ++digit)
                value = value * 10 + static_cast<unsigned long>(*digit - L'0');
            if (digit != authorityEnd || value > 65535) {
                SetLastError(ERROR_INTERNET_INVALID_URL);
                return FALSE;
            }
            if (digit > portSep + 1)
                port = static_cast<INTERNET_PORT>(value);
        }
        p = authorityEnd;
    }
    const wchar_t* extraStart = p;
    while (extraStart < end && *extraStart != L'?' && *extraStart != L'#')
        ++extraStart;
    path = {p, static_cast<size_t>(extraStart - p)};
    extra = {extraStart, static_cast<size_t>(end - extraStart)};

    if (!Give(scheme, parts->lpszScheme, parts->dwSchemeLength) ||
        !Give(host, parts->lpszHostName, parts->dwHostNameLength) ||
        !Give(user, parts->lpszUserName, parts->dwUserNameLength) ||
        !Give(password, parts->lpszPassword, parts->dwPasswordLength) ||
        !Give(path, parts->lpszUrlPath, parts->dwUrlPathLength) ||
        !Give(extra, parts->lpszExtraInfo, parts->dwExtraInfoLength))
        return FALSE;
    parts->nScheme = number;
    parts->nPort = port;
    return TRUE;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideLength, LPSTR out, int outSize, LPCSTR,
                        BOOL* usedDefault) {
    if (!wide || wideLength == 0 || outSize < 0 || (outSize > 0 && !out)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t count = wideLength < 0 ? wcslen(wide) + 1 : static_cast<size_t>(wideLength);
    std::string text;
    bool replaced = false;
    for (size_t i = 0; i < count; ++i) {
        const auto cp = static_cast<uint32_t>(wide[i]);
        if (cp < 0x80) {
            text.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
            text.push_back('?');
            replaced = true;
        } else if (cp < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            text.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            text.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    if (usedDefault)
        *usedDefault = replaced ? TRUE : FALSE;
    if (outSize == 0)
        return static_cast<int>(text.size());
    if (text.size() > static_cast<size_t>(outSize)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(out, text.data(), text.size());
    return static_cast<int>(text.size());
}
