// profile_test.cpp: conformance of GetPrivateProfileStringW,
// GetPrivateProfileIntW, WritePrivateProfileStringW and GetModuleFileNameW:
// the same tables pass on Windows (Wine) and on the Linux layer.
#include "tests/platform/conformance.h"
#include "support/files.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

using vxtest::ReadBytes;
using vxtest::WriteBytes;

// UTF-16LE bytes of ASCII or BMP text, for files written by hand.
std::string Utf16Le(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::string Utf16Be(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c >> 8));
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name =
            std::string("vxprofile-") + info->test_suite_name() + "-" + info->name() + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        dir_ = fs::temp_directory_path() / name;
        fs::create_directories(dir_);
    }

    void TearDown() override {
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir_, ec))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }

    fs::path File(const char* name) const { return dir_ / name; }

    // The string read (up to the returned count plus `extra` characters).
    static std::wstring Read(const wchar_t* section, const wchar_t* key, const wchar_t* def,
                             const fs::path& file, DWORD size = 4096, DWORD* ret = nullptr,
                             DWORD extra = 0) {
        std::vector<WCHAR> buffer(size + 2, L'#');
        DWORD n = GetPrivateProfileStringW(section, key, def, buffer.data(), size,
                                           file.wstring().c_str());
        if (ret)
            *ret = n;
        return std::wstring(buffer.data(), n + extra);
    }

    static BOOL Write(const wchar_t* section, const wchar_t* key, const wchar_t* value,
                      const fs::path& file) {
        return WritePrivateProfileStringW(section, key, value, file.wstring().c_str());
    }

    fs::path dir_;
};

const char kSample[] =
    "[First]\r\n"
    "alpha=one\r\n"
    "Quoted=\"two\"\r\n"
    "single='three'\r\n"
    "spaced   =   four   \r\n"
    "bare\r\n"
    "; note=hidden\r\n"
    "empty=\r\n"
    "x=a\r\n"
    "[ Second ]\r\n"
    "[first]\r\n"
    "alpha=duplicate\r\n";

std::string WithLineEnds(const std::string& text, const std::string& eol) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0) {
            out += eol;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct ReadCase {
    const wchar_t* section;
    const wchar_t* key;
    const wchar_t* def;
    DWORD size;
    DWORD ret;
    std::wstring buffer;  // ret characters plus the terminator(s) checked
};

const std::wstring kNul(1, L'\0');

const ReadCase kReadCases[] = {
    {L"First", L"alpha", L"dflt", 64, 3, L"one" + kNul},
    {L"FIRST", L"ALPHA", L"dflt", 64, 3, L"one" + kNul},
    {L"  First ", L" alpha\t", L"dflt", 64, 3, L"one" + kNul},
    {L"first", L"alpha", L"dflt", 64, 3, L"one" + kNul},  // a later duplicate section is unseen
    {L"First", L"Quoted", L"dflt", 64, 3, L"two" + kNul},
    {L"First", L"single", L"dflt", 64, 5, L"three" + kNul},
    {L"First", L"spaced", L"dflt", 64, 4, L"four" + kNul},
    {L"First", L"bare", L"dflt", 64, 4, L"dflt" + kNul},  // no '=': no value
    {L"First", L"empty", L"dflt", 64, 0, kNul},           // present but empty
    {L"First", L"missing", L"dflt  ", 64, 4, L"dflt" + kNul},
    {L"First", L"missing", nullptr, 64, 0, kNul},
    {L"Nowhere", L"alpha", L"dflt", 64, 4, L"dflt" + kNul},
    {L"Second", L"alpha", L"dflt", 64, 4, L"dflt" + kNul},
    {L"First", L"alpha", L"dflt", 3, 2, L"on" + kNul},  // truncated: nSize - 1
    {L"First", L"alpha", L"dflt", 4, 3, L"one" + kNul},
    {L"First", L"alpha", L"dflt", 1, 0, kNul},
    {L"First", L"Quoted", L"dflt", 3, 2, L"tw" + kNul},
    // Lists: every string ends with a NUL and the list with another one.
    {nullptr, L"ignored", L"dflt", 64, 19, std::wstring(L"First\0Second\0first\0\0", 20)},
    {nullptr, nullptr, nullptr, 10, 8, std::wstring(L"First\0Se\0\0", 10)},  // nSize - 2
    {nullptr, nullptr, nullptr, 21, 19, std::wstring(L"First\0Second\0first\0\0", 20)},
    {nullptr, nullptr, nullptr, 20, 18, std::wstring(L"First\0Second\0first\0\0", 20)},
    {L"First", nullptr, L"dflt", 64, 35,
     std::wstring(L"alpha\0Quoted\0single\0spaced\0empty\0x\0\0", 36)},
    {L"First", nullptr, L"dflt", 16, 14, std::wstring(L"alpha\0Quoted\0s\0\0", 16)},
    {L"Nowhere", nullptr, L"dflt", 64, 4, L"dflt" + kNul},  // no keys: the default
};

TEST_F(ProfileTest, ReadsFollowTheWin32Rules) {
    for (const char* eol : {"\r\n", "\n", "\r"}) {
        fs::path file = File("read.ini");
        WriteBytes(file, WithLineEnds(kSample, eol));
        for (const ReadCase& c : kReadCases) {
            SCOPED_TRACE(::testing::Message()
                         << "eol " << (eol[0] == '\r' ? (eol[1] ? "CRLF" : "CR") : "LF")
                         << " section " << (c.section ? "set" : "null") << " size " << c.size
                         << " expected " << c.ret);
            DWORD ret = 0;
            std::wstring got = Read(c.section, c.key, c.def, file, c.size, &ret,
                                    static_cast<DWORD>(c.buffer.size()) - c.ret);
            EXPECT_EQ(c.ret, ret);
            EXPECT_EQ(c.buffer, got);
        }
    }
}

TEST_F(ProfileTest, ReadOfAMissingFileGivesTheDefault) {
    fs::path file = File("absent.ini");
    DWORD ret = 0;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(L"dflt", Read(L"s", L"k", L"dflt", file, 64, &ret));
    EXPECT_EQ(4u, ret);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(fs::exists(file));

    // A section list of a missing file is empty, with a single terminator.
    WCHAR buffer[8] = {L'#', L'#', L'#'};
    EXPECT_EQ(
        0u, GetPrivateProfileStringW(nullptr, nullptr, nullptr, buffer, 8, file.wstring().c_str()));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(L'#', buffer[1]);

    // No room at all: nothing is touched.
    EXPECT_EQ(0u, GetPrivateProfileStringW(L"s", L"k", L"dflt", buffer, 0, file.wstring().c_str()));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(L'#', buffer[1]);
}

TEST_F(ProfileTest, MissingKeyInAnExistingFileSetsFileNotFound) {
    fs::path file = File("lasterror.ini");
    WriteBytes(file, kSample);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(L"d", Read(L"First", L"nokey", L"d", file));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, GetLastError() == ERROR_FILE_NOT_FOUND,
                               "Wine does not set the last error for a missing key");
}

struct IntCase {
    const wchar_t* stored;  // null: key absent
    INT def;
    UINT expected;
};

const IntCase kIntCases[] = {
    {nullptr, -1, 4294967295u},
    {nullptr, 7, 7},
    {L"", 7, 7},  // an empty value reads as missing
    {L"-1", 1, 4294967295u},
    {L"1", -1, 1},
    {L"+1", -1, 1},
    {L"  12  ", 0, 12},
    {L"\"7\"", 0, 7},
    {L"4294967296", -1, 0},  // kept modulo 2^32
    {L"4294967297", -1, 1},
    {L"-4294967297", 1, 4294967295u},
    {L"42A94967297", -1, 42},
    {L"B4294967297", -1, 0},
    {L"12abc", 5, 12},
    {L"0x1A", 0, 26},
    {L"0X1A", 0, 0},  // the prefix is lower case only
    {L"0b101", 0, 5},
    {L"0o17", 0, 15},
    {L"-0x10", 0, 4294967280u},
    {L"abc", 5, 0},
    {L"123456789012345678901234567890123", 0, 1849262357u},  // only 29 characters count
};

TEST_F(ProfileTest, IntegerReadsFollowTheWin32Conversion) {
    fs::path file = File("int.ini");
    for (const IntCase& c : kIntCases) {
        SCOPED_TRACE(::testing::Message() << "default " << c.def << " expected " << c.expected);
        ASSERT_TRUE(Write(L"Ints", L"value", c.stored, file));
        EXPECT_EQ(c.expected,
                  GetPrivateProfileIntW(L"Ints", L"value", c.def, file.wstring().c_str()));
    }
    EXPECT_EQ(9u, GetPrivateProfileIntW(L"Ints", L"value", 9, File("none.ini").wstring().c_str()));
}

TEST_F(ProfileTest, WritesBuildAndEditTheFile) {
    fs::path file = File("write.ini");
    struct Step {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* value;
        const char* expected;
    };
    const Step steps[] = {
        {L"App1", L"key1", L"string1", "[App1]\r\nkey1=string1\r\n"},
        {L"App1", L"key2", L"string2", "[App1]\r\nkey1=string1\r\nkey2=string2\r\n"},
        {L"App2", L"key3", L"string3",
         "[App1]\r\nkey1=string1\r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"},
        {L"app1", L"KEY1", L"  new",
         "[App1]\r\nkey1=new\r\nkey2=string2\r\n[App2]\r\nkey3=string3\r\n"},
        {L"App1", L"key2", nullptr, "[App1]\r\nkey1=new\r\n[App2]\r\nkey3=string3\r\n"},
        {L"App1", L"key2", nullptr, "[App1]\r\nkey1=new\r\n[App2]\r\nkey3=string3\r\n"},
        {L"App3", L"k", nullptr, "[App1]\r\nkey1=new\r\n[App2]\r\nkey3=string3\r\n"},
        {L"App1", nullptr, L"ignored", "[App2]\r\nkey3=string3\r\n"},
        {L"App2", L"key3", nullptr, "[App2]\r\n"},
        {L"App2", L"empty", L"", "[App2]\r\nempty=\r\n"},
        {L"App2", nullptr, nullptr, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.expected);
        EXPECT_TRUE(Write(step.section, step.key, step.value, file));
        EXPECT_EQ(step.expected, ReadBytes(file));
    }
}

TEST_F(ProfileTest, WritesKeepCommentsAndUnknownLines) {
    fs::path file = File("keep.ini");
    WriteBytes(file, "; top comment\r\n[S]\r\n; about k\r\nk=1\r\njunk line\r\n[T]\r\nm=2\r\n");
    EXPECT_TRUE(Write(L"S", L"k", L"5", file));
    EXPECT_TRUE(Write(L"S", L"added", L"x", file));
    EXPECT_TRUE(Write(L"T", L"m", nullptr, file));
    EXPECT_EQ("; top comment\r\n[S]\r\n; about k\r\nk=5\r\njunk line\r\nadded=x\r\n[T]\r\n",
              ReadBytes(file));
    // A line without '=' is found by a write and gets its value.
    EXPECT_TRUE(Write(L"S", L"junk line", L"now", file));
    EXPECT_EQ(L"now", Read(L"S", L"junk line", L"d", file));

    // Layout the engine has no reason to touch stays as it was.
    fs::path spaced = File("spaced.ini");
    WriteBytes(spaced, "[S]\r\n\r\n  k = 1\r\n\r\n[T]\r\n");
    EXPECT_TRUE(Write(L"S", L"k", L"2", spaced));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine,
                               ReadBytes(spaced) == "[S]\r\n\r\n  k = 2\r\n\r\n[T]\r\n",
                               "Wine rewrites every line and drops blank lines");
    EXPECT_EQ(L"2", Read(L"S", L"k", L"d", spaced));
}

TEST_F(ProfileTest, WriteErrorsAndLastError) {
    fs::path file = File("errors.ini");

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Write(nullptr, L"k", L"v", file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(Write(nullptr, nullptr, nullptr, file));  // the flush request

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(WritePrivateProfileStringW(L"s", L"k", L"v", L""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    fs::path lost = dir_ / "no such folder" / "x.ini";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Write(L"s", L"k", L"v", lost));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_FALSE(fs::exists(lost.parent_path()));
    EXPECT_EQ(L"d", Read(L"s", L"k", L"d", lost));

    // Deleting from a missing file succeeds. Deviation: Windows leaves an
    // empty file behind; Wine and the Linux layer do not.
    EXPECT_TRUE(Write(L"s", L"k", nullptr, file));
    EXPECT_TRUE(Write(L"s", nullptr, nullptr, file));

    fs::path readOnly = File("readonly.ini");
    WriteBytes(readOnly, "[s]\r\nk=old\r\n");
    fs::permissions(readOnly,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    SetLastError(0xdeadbeef);
    BOOL wrote = Write(L"s", L"k", L"new", readOnly);
    DWORD error = GetLastError();
    VX_EXPECT_UNLESS_DEVIATION(
        vxtest::Side::Wine,
        !wrote && error == ERROR_ACCESS_DENIED && ReadBytes(readOnly) == "[s]\r\nk=old\r\n",
        "Wine run by root writes a read-only file");
}

TEST_F(ProfileTest, UnicodeFilesKeepTheirEncoding) {
    const std::wstring text = L"\x4E2D\x6587 caf\x00E9 \U0001F600";  // Chinese, Latin, emoji

    fs::path le = File("utf16le.ini");
    WriteBytes(le, "\xFF\xFE" + Utf16Le(u"[S]\r\na=1\r\n"));
    EXPECT_TRUE(Write(L"S", L"u", text.c_str(), le));
    EXPECT_EQ(text, Read(L"S", L"u", L"", le));
    EXPECT_EQ(L"1", Read(L"S", L"a", L"", le));
    EXPECT_EQ("\xFF\xFE" + Utf16Le(u"[S]\r\na=1\r\nu=\x4E2D\x6587 caf\x00E9 \xD83D\xDE00\r\n"),
              ReadBytes(le));

    fs::path be = File("utf16be.ini");
    WriteBytes(be, "\xFE\xFF" + Utf16Be(u"[S]\r\na=\x00E9\r\n"));
    EXPECT_EQ(L"\x00E9", Read(L"S", L"a", L"", be));
    EXPECT_TRUE(Write(L"S", L"u", text.c_str(), be));
    EXPECT_EQ(text, Read(L"S", L"u", L"", be));
    EXPECT_EQ(std::string("\xFE\xFF"), ReadBytes(be).substr(0, 2));

    fs::path utf8 = File("utf8bom.ini");
    WriteBytes(utf8, "\xEF\xBB\xBF[S]\r\na=1\r\n");
    EXPECT_TRUE(Write(L"S", L"u", text.c_str(), utf8));
    EXPECT_EQ(text, Read(L"S", L"u", L"", utf8));
    EXPECT_EQ(
        "\xEF\xBB\xBF[S]\r\na=1\r\nu=\xE4\xB8\xAD\xE6\x96\x87 caf\xC3\xA9 \xF0\x9F\x98\x80\r\n",
        ReadBytes(utf8));

    // Section and key names compare without regard to letter case beyond ASCII.
    EXPECT_TRUE(Write(L"\x00C4rger", L"\x0416", L"v", le));
    EXPECT_EQ(L"v", Read(L"\x00C4rger", L"\x0416", L"", le));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, Read(L"\x00E4RGER", L"\x0436", L"", le) == L"v",
                               "Wine folds only ASCII letters in profile names");
}

#if !defined(_WIN32)
// The layer's ANSI code page is UTF-8, and bytes that are not UTF-8 are
// carried through a write untouched.
TEST_F(ProfileTest, LinuxAnsiFilesAreUtf8) {
    fs::path file = File("ansi.ini");
    WriteBytes(file, "[S]\nname=caf\xC3\xA9\nraw=\xFF\xFE\x80 end\n");
    EXPECT_EQ(L"caf\x00E9", Read(L"S", L"name", L"", file));
    EXPECT_EQ(L"\xFFFD\xFFFD\xFFFD end", Read(L"S", L"raw", L"", file));
    EXPECT_TRUE(Write(L"S", L"new", L"\x4E2D", file));
    EXPECT_EQ("[S]\nname=caf\xC3\xA9\nraw=\xFF\xFE\x80 end\nnew=\xE4\xB8\xAD\n", ReadBytes(file));
}
#endif

TEST_F(ProfileTest, LongValuesAndNoiseAreHandled) {
    fs::path file = File("long.ini");
    for (size_t length : {2047u, 2048u, 100000u}) {
        SCOPED_TRACE(length);
        std::wstring value(length, L'v');
        value[length - 1] = L'z';
        ASSERT_TRUE(Write(L"S", L"long", value.c_str(), file));
        DWORD ret = 0;
        EXPECT_EQ(value, Read(L"S", L"long", L"", file, static_cast<DWORD>(length + 1), &ret));
        EXPECT_EQ(std::wstring(value, 0, 2047), Read(L"S", L"long", L"", file, 2048, &ret));
        EXPECT_EQ(2047u, ret);
    }

    fs::path noise = File("noise.ini");
    std::mt19937 random(12345);
    std::string bytes(64 * 1024, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    bytes[0] = 'x';  // no byte order mark by chance
    WriteBytes(noise, bytes);
    DWORD ret = 0;
    Read(nullptr, nullptr, nullptr, noise, 4096, &ret);
    EXPECT_LE(ret, 4094u);
    Read(L"x", nullptr, L"", noise, 4096, &ret);
    EXPECT_TRUE(Write(L"vxsection", L"k", L"after noise", noise));
    EXPECT_EQ(L"after noise", Read(L"vxsection", L"k", L"", noise));
}

TEST_F(ProfileTest, ModuleFileNameIsTheExecutable) {
    WCHAR path[4096];
    SetLastError(0xdeadbeef);
    DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, 4096u);
    std::wstring name(path, length);
    EXPECT_EQ(L'\0', path[length]);
    EXPECT_TRUE(fs::path(name).is_absolute()) << fs::path(name).string();
    EXPECT_TRUE(fs::exists(fs::path(name)));
    EXPECT_NE(std::wstring::npos, name.find(L"platform_tests"));

    // Too small: cut to nSize - 1 characters and a terminator, nSize returned.
    WCHAR small[8];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(8u, GetModuleFileNameW(nullptr, small, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(name.substr(0, 7), std::wstring(small, 7));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, small[7] == L'\0',
                               "Wine fills the buffer without a terminator, as Windows XP did");
    std::vector<WCHAR> exact(length);
    EXPECT_EQ(length, GetModuleFileNameW(nullptr, exact.data(), length));
    EXPECT_EQ(name.substr(0, length - 1), std::wstring(exact.data(), length - 1));
    std::vector<WCHAR> fits(length + 1);
    EXPECT_EQ(length, GetModuleFileNameW(nullptr, fits.data(), length + 1));
    EXPECT_EQ(name, std::wstring(fits.data()));
}

// Writers on several threads, each with keys of its own, and a reader that
// must always find the file whole.
TEST_F(ProfileTest, ConcurrentWritersLoseNothing) {
    fs::path file = File("threads.ini");
    const std::wstring path = file.wstring();
    ASSERT_TRUE(Write(L"z", L"end", L"1", file));
    const int kThreads = 4, kWrites = 25;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        WCHAR buffer[16];
        while (!done) {
            if (GetPrivateProfileStringW(L"z", L"end", L"missing", buffer, 16, path.c_str()) != 1)
                ++torn;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                std::wstring key = L"k" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                WritePrivateProfileStringW(L"a", key.c_str(), std::to_wstring(i * 7).c_str(),
                                           path.c_str());
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    done = true;
    reader.join();
    EXPECT_EQ(0, torn.load());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            std::wstring key = L"k" + std::to_wstring(t) + L"_" + std::to_wstring(i);
            EXPECT_EQ(static_cast<UINT>(i * 7),
                      GetPrivateProfileIntW(L"a", key.c_str(), -1, path.c_str()))
                << "lost " << fs::path(key).string();
        }
    }
}

#if !defined(_WIN32)
// Writers in several processes: the lock is on the file, not in the process.
TEST_F(ProfileTest, LinuxProcessesLoseNothing) {
    fs::path file = File("processes.ini");
    const std::wstring path = file.wstring();
    const int kProcesses = 4, kWrites = 25;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kWrites; ++i) {
                std::wstring key = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
                if (!WritePrivateProfileStringW(L"a", key.c_str(), std::to_wstring(i).c_str(),
                                                path.c_str()))
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kWrites; ++i) {
            std::wstring key = L"p" + std::to_wstring(p) + L"_" + std::to_wstring(i);
            EXPECT_EQ(static_cast<UINT>(i),
                      GetPrivateProfileIntW(L"a", key.c_str(), -1, path.c_str()));
        }
    }
}

// A writable file in a folder that takes no new file is written (Windows
// writes such a file in place). Root may create files anywhere, so the
// writer runs as an unprivileged user then.
TEST_F(ProfileTest, LinuxWritableFileInAReadOnlyFolderIsWritten) {
    const fs::path folder = dir_ / "locked";
    fs::create_directories(folder);
    const fs::path file = folder / "settings.ini";
    const std::wstring path = file.wstring();
    ASSERT_TRUE(Write(L"s", L"k", L"1", file));
    fs::permissions(file, fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec |
                                             fs::perms::others_exec));
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const uid_t kNobody = 65534;
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(2);
        _exit(WritePrivateProfileStringW(L"s", L"k", L"2", path.c_str()) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(2u, GetPrivateProfileIntW(L"s", L"k", 0, path.c_str()));
}

// A writer killed at any moment leaves the old or the new file, never a mix.
TEST_F(ProfileTest, LinuxKilledWriterLeavesAWholeFile) {
    fs::path file = File("killed.ini");
    const std::wstring path = file.wstring();
    const std::wstring small(1000, L's'), big(400000, L'b');
    ASSERT_TRUE(Write(L"a", L"value", small.c_str(), file));
    ASSERT_TRUE(Write(L"z", L"end", L"1", file));
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; ++i)
                WritePrivateProfileStringW(L"a", L"value", (i % 2 ? small : big).c_str(),
                                           path.c_str());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        std::vector<WCHAR> buffer(big.size() + 2);
        DWORD n = GetPrivateProfileStringW(L"a", L"value", L"", buffer.data(),
                                           static_cast<DWORD>(buffer.size()), path.c_str());
        std::wstring value(buffer.data(), n);
        EXPECT_TRUE(value == small || value == big) << "length " << n;
        EXPECT_EQ(1u, GetPrivateProfileIntW(L"z", L"end", 0, path.c_str()));
    }
    // Only the profile and, at most, temporary files of killed writers remain.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "killed.ini" || name.find(".vxtmp-") != std::string::npos) << name;
    }
}
#endif

}  // namespace
