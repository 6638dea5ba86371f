// ini_file_test.cpp: CIniFile formats, conversions, modify-if-not-equal,
// names, bad input and concurrent use, on both targets.
#include "VexloTool/IniFile.h"

#include <gtest/gtest.h>

#include "support/files.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/platform/conformance.h"
#include "util/ini_file_name.h"
#include "vxplatform.h"

namespace {

namespace fs = std::filesystem;
using VexloTool::CIniFile;

using vxtest::ReadBytes;
using vxtest::WriteBytes;

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("vxini-") + info->name() + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
        file_ = dir_ / "settings.ini";
        ini_.SetFileName(file_.wstring().c_str());
    }

    void TearDown() override {
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir_, ec))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    // The stored text as the profile service returns it, or "<missing>".
    std::wstring Stored(const wchar_t* section, const wchar_t* key, size_t capacity = 4096) {
        std::vector<WCHAR> buffer(capacity);
        DWORD n = GetPrivateProfileStringW(section, key, L"<missing>", buffer.data(),
                                           static_cast<DWORD>(capacity), file_.wstring().c_str());
        return std::wstring(buffer.data(), n);
    }

    fs::path dir_;
    fs::path file_;
    CIniFile ini_;
};

TEST_F(IniFileTest, WritesIntegersAndFloatsInTheirFormats) {
    struct IntCase {
        int value;
        const wchar_t* text;
    } ints[] = {{-5, L"-5"}, {0, L"0"}, {INT_MAX, L"2147483647"}, {INT_MIN, L"-2147483648"}};
    for (const IntCase& c : ints) {
        ini_.SetIntValue(L"n", L"i", c.value);
        EXPECT_EQ(c.text, Stored(L"n", L"i"));
        EXPECT_EQ(c.value, ini_.GetIntValue(L"n", L"i", 99));
    }
    struct FloatCase {
        float value;
        const wchar_t* text;
    } floats[] = {{2.0f, L"2.00"},
                  {1.006f, L"1.01"},
                  {-0.5f, L"-0.50"},
                  {0.004f, L"0.00"},
                  {1e10f, L"10000000000.00"}};
    for (const FloatCase& c : floats) {
        ini_.SetFloatValue(L"n", L"f", c.value);
        EXPECT_EQ(c.text, Stored(L"n", L"f"));
    }
}

TEST_F(IniFileTest, FloatReadsConvertLikeWcstod) {
    EXPECT_EQ(1.0f, ini_.GetFloatValue(L"f", L"missing", 1.0f));
    EXPECT_EQ(0.13f, ini_.GetFloatValue(L"f", L"missing", 0.126f));  // the default's text
    struct Case {
        const wchar_t* stored;
        float expected;
    } cases[] = {
        {L"word", 0.0f},      {L"", 0.0f},          {L"3.5xyz", 3.5f},   {L"1e3", 1000.0f},
        {L"0x10", 16.0f},     {L".5", 0.5f},        {L"+2", 2.0f},       {L"1,5", 1.0f},
        {L"1e-400", 0.0f},    {L"-0", -0.0f},       {L"0x", 0.0f},       {L"1.23456", 1.23456f},
        {L"1e400", INFINITY}, {L"-inf", -INFINITY}, {L"1e39", INFINITY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fs::path(c.stored).string());
        ASSERT_TRUE(WritePrivateProfileStringW(L"f", L"v", c.stored, file_.wstring().c_str()));
        EXPECT_EQ(c.expected, ini_.GetFloatValue(L"f", L"v", 7.0f));
    }
    WritePrivateProfileStringW(L"f", L"v", L"nan", file_.wstring().c_str());
    EXPECT_TRUE(std::isnan(ini_.GetFloatValue(L"f", L"v", 7.0f)));
}

TEST_F(IniFileTest, IntegerModifyWritesOnlyWhenDifferent) {
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"i", 5, 5));
    EXPECT_EQ(L"<missing>", Stored(L"s", L"i"));  // nothing written
    EXPECT_EQ(1, ini_.ModifyValueIfNotEqual(L"s", L"i", 6, 5));
    EXPECT_EQ(L"6", Stored(L"s", L"i"));
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"i", 6, 5));
    EXPECT_EQ(1, ini_.ModifyValueIfNotEqual(L"s", L"i", -1, 5));
    EXPECT_EQ(-1, ini_.GetIntValue(L"s", L"i", 0));
}

TEST_F(IniFileTest, TextModifyComparesExactly) {
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"t", L"abc", L"abc"));
    EXPECT_EQ(L"<missing>", Stored(L"s", L"t"));
    EXPECT_EQ(1, ini_.ModifyValueIfNotEqual(L"s", L"t", L"Value", L""));
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"t", L"Value", L""));
    EXPECT_EQ(1, ini_.ModifyValueIfNotEqual(L"s", L"t", L"VALUE", L""));  // case matters
    EXPECT_EQ(L"VALUE", Stored(L"s", L"t"));

    // An empty stored value reads as nothing, whatever the default says.
    ini_.SetStringValue(L"s", L"e", L"");
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"e", L"", L"not empty"));
    EXPECT_EQ(1.0f, ini_.GetFloatValue(L"s", L"nothing", 1.0f));
    EXPECT_EQ(0.0f, ini_.GetFloatValue(L"s", L"e", 1.0f));

    // A null value is refused after the read, and nothing is written.
    std::string before = ReadBytes(file_);
    try {
        ini_.ModifyValueIfNotEqual(L"s", L"t", static_cast<const wchar_t*>(nullptr), L"d");
        ADD_FAILURE() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_EQ(static_cast<int>(E_FAIL), e.code().value());
    }
    EXPECT_EQ(before, ReadBytes(file_));
}

TEST_F(IniFileTest, FloatModifyComparesTexts) {
    WritePrivateProfileStringW(L"s", L"f", L"1.5", file_.wstring().c_str());
    EXPECT_EQ(1, ini_.ModifyValueIfNotEqual(L"s", L"f", 1.5f, 0.0f));
    EXPECT_EQ(L"1.50", Stored(L"s", L"f"));
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"f", 1.5f, 0.0f));
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"g", 0.25f, 0.25f));
    EXPECT_EQ(L"<missing>", Stored(L"s", L"g"));
}

TEST_F(IniFileTest, AnyTextRoundTrips) {
    const std::wstring text = L"\x4E2D\x6587\x8BBE\x7F6E \U0001F600 \x00E9 \"q\" ; x";
    ini_.SetStringValue(L"\x8BBE\x7F6E", L"\x540D", text.c_str());
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"\x8BBE\x7F6E", L"\x540D", text.c_str(), L""));
    EXPECT_EQ(text, Stored(L"\x8BBE\x7F6E", L"\x540D"));
    std::string bytes = ReadBytes(file_);
#if defined(_WIN32)
    // The profile service keeps Unicode only in a UTF-16LE file.
    EXPECT_EQ(std::string("\xFF\xFE"), bytes.substr(0, 2));
#else
    EXPECT_EQ('[', bytes[0]);  // UTF-8, no mark
#endif

    // Existing files keep their encoding.
    fs::path utf8 = dir_ / "utf8.ini";
    WriteBytes(utf8, "\xEF\xBB\xBF[s]\r\na=1\r\n");
    CIniFile other(utf8.wstring().c_str());
    other.SetStringValue(L"s", L"u", text.c_str());
    EXPECT_EQ(0, other.ModifyValueIfNotEqual(L"s", L"u", text.c_str(), L""));
    const std::string kept = "\xEF\xBB\xBF[s]\r\na=1\r\nu=";
    EXPECT_EQ(kept, ReadBytes(utf8).substr(0, kept.size()));
}

// A bare name is the profile service's business (Windows: the Windows
// folder; Linux: the current folder); Unicode survives there too.
TEST(IniFileBareName, UnicodeSurvivesInTheServicesFolder) {
    const std::wstring name =
        L"vx_bare_" + std::to_wstring(std::chrono::steady_clock::now().time_since_epoch().count()) +
        L".ini";
    const std::wstring text = L"\x4E2D\x6587 \U0001F600";
    CIniFile bare(name.c_str());
    bare.SetStringValue(L"s", L"k", text.c_str());
    EXPECT_EQ(0, bare.ModifyValueIfNotEqual(L"s", L"k", text.c_str(), L""));
#if defined(_WIN32)
    WCHAR folder[MAX_PATH];
    UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    fs::path where = fs::path(std::wstring(folder, length)) / name;
#else
    fs::path where = fs::current_path() / name;
#endif
    EXPECT_TRUE(fs::exists(where));
    std::error_code ec;
    fs::remove(where, ec);
}

TEST_F(IniFileTest, LongValuesAreReadTo2047Characters) {
    for (size_t length : {2047u, 2048u, 100000u}) {
        SCOPED_TRACE(length);
        std::wstring value(length, L'x');
        ini_.SetStringValue(L"s", L"long", value.c_str());
        EXPECT_EQ(value, Stored(L"s", L"long", length + 1));  // stored whole
        // The read sees at most 2047 characters, so a longer value differs.
        EXPECT_EQ(length > 2047 ? 1 : 0,
                  ini_.ModifyValueIfNotEqual(L"s", L"long", value.c_str(), L""));
        EXPECT_EQ(value, Stored(L"s", L"long", length + 1));
    }
}

TEST_F(IniFileTest, DeleteRemovesOnlyTheKey) {
    ini_.SetIntValue(L"s", L"a", 1);
    ini_.SetIntValue(L"s", L"b", 2);
    std::string before = ReadBytes(file_);
    ini_.DeleteValue(L"s", L"missing");
    EXPECT_EQ(before, ReadBytes(file_));
    ini_.DeleteValue(L"s", L"a");
    EXPECT_EQ(L"<missing>", Stored(L"s", L"a"));
    EXPECT_EQ(2, ini_.GetIntValue(L"s", L"b", 0));
    ini_.SetStringValue(L"s", L"b", nullptr);
    EXPECT_EQ(L"<missing>", Stored(L"s", L"b"));

    CIniFile absent((dir_ / "absent.ini").wstring().c_str());
    absent.DeleteValue(L"s", L"a");
    EXPECT_FALSE(fs::exists(dir_ / "absent.ini"));
}

TEST_F(IniFileTest, BadNamesAndValuesWriteNothing) {
    ini_.SetIntValue(L"s", L"keep", 1);
    const std::string before = ReadBytes(file_);
    struct Names {
        const wchar_t* section;
        const wchar_t* key;
    } names[] = {
        {nullptr, L"k"}, {L"s", nullptr},     {nullptr, nullptr}, {L"", L"k"},
        {L"s", L""},     {L"  ", L"k"},       {L"s", L"a=b"},     {L"s", L"[x]"},
        {L"s", L" ; c"}, {L"s\r\n[t]", L"k"}, {L"s", L"k\nx"},
    };
    for (const Names& c : names) {
        ini_.SetStringValue(c.section, c.key, L"v");
        ini_.DeleteValue(c.section, c.key);
        ini_.SetIntValue(c.section, c.key, 3);
        ini_.SetFloatValue(c.section, c.key, 3.0f);
        // Refused, and said so: nothing was written.
        SetLastError(0);
        EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(c.section, c.key, 4, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(7, ini_.GetIntValue(c.section, c.key, 7)) << (c.key ? "key" : "null key");
    }
    // Values with a line break would add lines of their own.
    for (const wchar_t* value : {L"v\r\n[evil]\r\nx=1", L"1\nkeep=2", L"\r"}) {
        ini_.SetStringValue(L"s", L"keep", value);
        EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"new", value, L""));
        EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", L"new", value, L""));
    }
    EXPECT_EQ(before, ReadBytes(file_));
    EXPECT_EQ(1, ini_.GetIntValue(L"s", L"keep", 0));
    EXPECT_EQ(2.5f, ini_.GetFloatValue(nullptr, L"keep", 2.5f));
    EXPECT_EQ(0, ini_.ModifyValueIfNotEqual(L"s", nullptr, L"x", L"y"));  // no key to write

    CIniFile::ReleaseString(nullptr);
}

TEST_F(IniFileTest, FailingWritesAreReported) {
    CIniFile lost((dir_ / "no folder" / "x.ini").wstring().c_str());
    lost.SetIntValue(L"s", L"k", 5);
    EXPECT_EQ(0, lost.ModifyValueIfNotEqual(L"s", L"k", 5, 0));
    EXPECT_EQ(0, lost.ModifyValueIfNotEqual(L"s", L"k", 5.0f, 0.0f));
    EXPECT_EQ(0, lost.ModifyValueIfNotEqual(L"s", L"k", L"5", L""));
    EXPECT_EQ(9, lost.GetIntValue(L"s", L"k", 9));
    EXPECT_FALSE(fs::exists(dir_ / "no folder"));

    ini_.SetIntValue(L"s", L"k", 1);
    const std::string before = ReadBytes(file_);
    fs::permissions(file_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ini_.SetIntValue(L"s", L"k", 2);
    ini_.DeleteValue(L"s", L"k");
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine,
                               before == ReadBytes(file_) && ini_.GetIntValue(L"s", L"k", 0) == 1,
                               "Wine run by root writes a read-only file");

    CIniFile unnamed;
    EXPECT_EQ(std::wstring(), unnamed.GetFileName());
    unnamed.SetIntValue(L"s", L"k", 1);
    EXPECT_EQ(4, unnamed.GetIntValue(L"s", L"k", 4));
    unnamed.SetFileName(nullptr);
    EXPECT_EQ(std::wstring(), unnamed.GetFileName());
}

TEST_F(IniFileTest, BinaryNoiseIsJustUnknownLines) {
    std::mt19937 random(99);
    std::string noise(32 * 1024, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    noise[0] = 'n';
    WriteBytes(file_, noise);
    EXPECT_EQ(3, ini_.GetIntValue(L"vxsection", L"k", 3));
    ini_.GetFloatValue(L"vxsection", L"k", 1.0f);
    ini_.SetIntValue(L"vxsection", L"k", 42);
    EXPECT_EQ(42, ini_.GetIntValue(L"vxsection", L"k", 3));
}

TEST_F(IniFileTest, CopiesShareNothingVisible) {
    CIniFile a(L"first.ini");
    CIniFile b(a);
    CIniFile c;
    c = a;
    a.SetFileName(L"second.ini");
    EXPECT_EQ(std::wstring(L"first.ini"), b.GetFileName());
    EXPECT_EQ(std::wstring(L"first.ini"), c.GetFileName());
    EXPECT_EQ(std::wstring(L"second.ini"), a.GetFileName());
    c = c;
    EXPECT_EQ(std::wstring(L"first.ini"), c.GetFileName());

    // Copies made and dropped on several threads share one name safely.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&b] {
            for (int i = 0; i < 10000; ++i) {
                CIniFile copy(b);
                CIniFile other;
                other = copy;
                EXPECT_EQ(L'f', other.GetFileName()[0]);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
}

TEST(IniFileName, OnlyTheFileNameLosesItsExtension) {
    struct Case {
        const wchar_t* executable;
        const wchar_t* ini;
    } cases[] = {
        {L"C:\\Apps\\player.exe", L"C:\\Apps\\player.ini"},
        {L"/opt/app.local/player", L"/opt/app.local/player.ini"},
        {L"/usr/bin/tool", L"/usr/bin/tool.ini"},
        {L"/home/u/.hidden", L"/home/u/.hidden.ini"},
        {L"/a/b.c/d.e.f", L"/a/b.c/d.e.ini"},
        {L"C:\\x.y\\z", L"C:\\x.y\\z.ini"},
        {L"player", L"player.ini"},
        {L"", L".ini"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.ini, VexloTool::detail::IniNameFor(c.executable));

    std::wstring deep = L"/" + std::wstring(300, L'd') + L".local/" + std::wstring(300, L'n');
    EXPECT_EQ(deep + L".ini", VexloTool::detail::IniNameFor(deep));
}

TEST(IniFileName, DefaultNameSitsBesideTheExecutable) {
    std::vector<WCHAR> path(32768);
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    ASSERT_GT(length, 0u);
    CIniFile ini(L"other.ini");
    ini.SetDefaultName();
    std::wstring name = ini.GetFileName();
    EXPECT_EQ(VexloTool::detail::IniNameFor(std::wstring(path.data(), length)), name);
    EXPECT_NE(std::wstring::npos, name.find(L"util_tests.ini"));
}

TEST_F(IniFileTest, ObjectsOnSeveralThreadsLoseNoWrite) {
    const int kThreads = 4, kWrites = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            CIniFile own(file_.wstring().c_str());
            for (int i = 0; i < kWrites; ++i) {
                std::wstring key = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                own.SetIntValue(L"s", key.c_str(), i);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            std::wstring key = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
            EXPECT_EQ(i, ini_.GetIntValue(L"s", key.c_str(), -1));
        }
    }
}

// Objects on several threads writing a file that does not exist yet all
// create it at once: the first writes must not undo one another.
TEST_F(IniFileTest, FirstWritesToANewFileFromSeveralThreadsAllLand) {
    const int kThreads = 4, kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        const std::wstring name = (dir_ / ("new" + std::to_string(round) + ".ini")).wstring();
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                CIniFile own(name.c_str());
                while (!go.load())
                    std::this_thread::yield();
                own.SetIntValue(L"s", (L"t" + std::to_wstring(t)).c_str(), t);
            });
        }
        go = true;
        for (std::thread& t : threads)
            t.join();
        CIniFile reader(name.c_str());
        for (int t = 0; t < kThreads; ++t)
            ASSERT_EQ(t, reader.GetIntValue(L"s", (L"t" + std::to_wstring(t)).c_str(), -1))
                << "round " << round;
    }
}

}  // namespace
