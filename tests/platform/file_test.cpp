// file_test.cpp: conformance of _wfopen (wide paths, binary mode, sharing);
// passes on Windows and on the Linux layer.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "support/files.h"

#include "vxplatform.h"

namespace {

namespace fs = std::filesystem;

class WideOpen : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() / ("vx_file_test_" + std::to_string(stamp));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::wstring WidePath(const std::wstring& name) const { return dir_.wstring() + L"/" + name; }

    fs::path dir_;
};

TEST_F(WideOpen, BinaryModeKeepsBytesAndTruncates) {
    const std::wstring path = WidePath(L"data.bin");
    for (const char* content : {"first line\nsecond\r\nlonger tail", "a\nb"}) {
        FILE* file = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        const std::string bytes(content);
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        EXPECT_EQ(std::fclose(file), 0);
        // No newline translation, and "w" truncates what was there.
        EXPECT_EQ(vxtest::ReadBytes(path), bytes);
    }
}

TEST_F(WideOpen, OthersMayReadAndWriteWhileOpen) {
    const std::wstring path = WidePath(L"shared.log");
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("abc", 1, 3, file), 3u);
    ASSERT_EQ(std::fflush(file), 0);

    FILE* reader = _wfopen(path.c_str(), L"rb");
    ASSERT_NE(reader, nullptr) << "not shared for reading";
    char got[4] = {};
    EXPECT_EQ(std::fread(got, 1, 3, reader), 3u);
    EXPECT_EQ(std::string(got), "abc");
    std::fclose(reader);

    FILE* writer = _wfopen(path.c_str(), L"r+b");
    ASSERT_NE(writer, nullptr) << "not shared for writing";
    std::fclose(writer);
    std::fclose(file);
}

TEST_F(WideOpen, NonAsciiNamesAndMissingFolders) {
    const std::wstring name = L"\u00e9t\u00e9 \u4e2d.log";
    FILE* file = _wfopen(WidePath(name).c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    // The same name spelled in UTF-8 reaches the same file.
    EXPECT_TRUE(fs::exists(dir_ / fs::u8path("\xc3\xa9t\xc3\xa9 \xe4\xb8\xad.log")));

    errno = 0;
    EXPECT_EQ(_wfopen(WidePath(L"missing/x.log").c_str(), L"wb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
