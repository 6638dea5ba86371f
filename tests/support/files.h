// files.h: whole-file byte helpers for tests that check what reached disk.
#pragma once

#include "vxplatform.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vxtest {

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Sets an existing file's size (growing it sparse, with zeros). On Windows
// this goes straight to SetEndOfFile: the runtime's ftruncate64 behind
// std::filesystem::resize_file enumerates volumes first and crashes where
// no volume is found.
inline bool ResizeFile(const std::filesystem::path& path, std::uintmax_t size) {
#ifdef _WIN32
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool done = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return done;
#else
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    return !error;
#endif
}

}  // namespace vxtest
