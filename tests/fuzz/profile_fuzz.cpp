// profile_fuzz.cpp: libFuzzer target of the Linux profile engine: any file
// content is parsed, listed, read, edited and read back without a crash, a
// hang or a wrong read-back.
#if defined(__linux__)

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "vxplatform.h"

namespace {

const std::wstring& FilePath() {
    static const std::wstring path = [] {
        // Memory-backed when possible (every write syncs its file), and one
        // file per fuzzing process.
        std::error_code ec;
        std::filesystem::path folder = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
        std::random_device random;
        static std::filesystem::path file =
            folder / ("vx_profile_fuzz_" + std::to_string(random()) + ".ini");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
        });
        std::string narrow = file.string();
        return std::wstring(narrow.begin(), narrow.end());
    }();
    return path;
}

void Require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// The strings of a double-NUL list.
std::vector<std::wstring> Split(const std::vector<WCHAR>& buffer, DWORD length) {
    std::vector<std::wstring> items;
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (buffer[i] == 0) {
            if (i > start)
                items.emplace_back(&buffer[start], i - start);
            start = i + 1;
        }
    }
    return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring& path = FilePath();
    std::string narrow(path.begin(), path.end());
    FILE* file = std::fopen(narrow.c_str(), "wb");
    if (!file)
        return 0;
    if (size)
        std::fwrite(data, 1, size, file);
    std::fclose(file);
    const DWORD small = size ? 1 + data[0] % 24 : 1;

    std::vector<WCHAR> buffer(4096, L'#');
    DWORD n =
        GetPrivateProfileStringW(nullptr, nullptr, nullptr, buffer.data(), 4096, path.c_str());
    Require(n < 4096);
    std::vector<std::wstring> sections = Split(buffer, n);
    std::vector<WCHAR> tiny(small + 1, L'#');
    n = GetPrivateProfileStringW(nullptr, nullptr, nullptr, tiny.data(), small, path.c_str());
    Require(n < small || (n == 0 && small == 1));
    Require(tiny[small] == L'#');  // never past the buffer

    if (sections.size() > 8)
        sections.resize(8);
    for (const std::wstring& section : sections) {
        n = GetPrivateProfileStringW(section.c_str(), nullptr, L"", buffer.data(), 4096,
                                     path.c_str());
        std::vector<std::wstring> keys = Split(buffer, n);
        if (keys.size() > 8)
            keys.resize(8);
        for (const std::wstring& key : keys) {
            n = GetPrivateProfileStringW(section.c_str(), key.c_str(), L"d", tiny.data(), small,
                                         path.c_str());
            Require(n < small || (n == 0 && small == 1));
            Require(tiny[small] == L'#');
            GetPrivateProfileIntW(section.c_str(), key.c_str(), 5, path.c_str());
        }
    }

    // An edit is read back exactly.
    std::wstring section = sections.empty() ? L"fuzz" : sections[0];
    Require(WritePrivateProfileStringW(section.c_str(), L"fz", L"v123", path.c_str()));
    n = GetPrivateProfileStringW(section.c_str(), L"fz", L"", buffer.data(), 4096, path.c_str());
    Require(std::wstring(buffer.data(), n) == L"v123");
    // Deleting removes the first "fz" of the section; a duplicate may follow.
    Require(WritePrivateProfileStringW(section.c_str(), L"fz", nullptr, path.c_str()));
    Require(WritePrivateProfileStringW(section.c_str(), nullptr, nullptr, path.c_str()));
    n = GetPrivateProfileStringW(nullptr, nullptr, nullptr, buffer.data(), 4096, path.c_str());
    Require(n < 4096);
    return 0;
}

#else
// The engine under test exists only in the Linux layer.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) {
    return 0;
}
#endif
