// crack_url_fuzz.cpp: libFuzzer target of InternetCrackUrlW: any URL, with
// caller buffers of any size or pointers into the URL, cracks without a
// crash or an overrun, and the components it hands out lie inside the URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "vxplatform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the buffer size (0: pointers into the URL).
    const DWORD capacity = data[0] % 24;
    const std::wstring url(data + 1, data + size);
    std::vector<wchar_t> scheme(capacity + 1), host(capacity + 1), path(capacity + 1),
        extra(capacity + 1);
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = capacity ? scheme.data() : nullptr;
    parts.dwSchemeLength = capacity ? capacity : 1;
    parts.lpszHostName = capacity ? host.data() : nullptr;
    parts.dwHostNameLength = capacity ? capacity : 1;
    parts.lpszUrlPath = capacity ? path.data() : nullptr;
    parts.dwUrlPathLength = capacity ? capacity : 1;
    parts.lpszExtraInfo = capacity ? extra.data() : nullptr;
    parts.dwExtraInfoLength = capacity ? capacity : 1;
    if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
        return 0;
    const wchar_t* begin = url.c_str();
    const wchar_t* end = begin + url.size();
    struct Part {
        const wchar_t* text;
        DWORD length;
    } given[] = {{parts.lpszScheme, parts.dwSchemeLength},
                 {parts.lpszHostName, parts.dwHostNameLength},
                 {parts.lpszUrlPath, parts.dwUrlPathLength},
                 {parts.lpszExtraInfo, parts.dwExtraInfoLength}};
    for (const Part& part : given) {
        if (capacity) {
            if (part.length >= capacity || part.text[part.length] != L'\0')
                abort();
            if (url.find(std::wstring(part.text, part.length)) == std::wstring::npos)
                abort();
        } else if (part.text && (part.text < begin || part.text + part.length > end)) {
            abort();
        }
    }
    return 0;
}
