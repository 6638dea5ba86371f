// log_wrapper_test.cpp: the asynchronous log writer end to end: file format,
// thresholds, ordering across threads, and its start and stop.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/files.h"

#include "VexloTool/VXLogWrapper.h"

namespace {

namespace fs = std::filesystem;
using VexloTool::CVXLogWrapper;
using VexloTool::VXLogType;

const std::string kBom = "\xef\xbb\xbf";

CVXLogWrapper& Log() {
    return CVXLogWrapper::Instance();
}

bool IsStamp(const std::string& entry) {
    if (entry.size() < 11)
        return false;
    for (int i : {0, 1, 3, 4, 6, 7}) {
        if (entry[i] < '0' || entry[i] > '9')
            return false;
    }
    return entry[2] == ':' && entry[5] == ':' && entry.compare(8, 3, "   ") == 0 &&
           std::stoi(entry.substr(0, 2)) < 24 && std::stoi(entry.substr(3, 2)) < 60 &&
           std::stoi(entry.substr(6, 2)) < 60;
}

class LogWrapper : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = fs::temp_directory_path() / ("vx_log_test_" + std::to_string(stamp));
        fs::create_directories(dir_);
        path_ = Path(L"app.log");
    }
    void TearDown() override {
        Log().UnInit();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::wstring Path(const std::wstring& name) const { return dir_.wstring() + L"/" + name; }

    // The file's entries after the byte order mark, each checked for its
    // stamp and CR LF and returned without them.
    std::vector<std::string> Messages(const std::wstring& path) const {
        const std::string bytes = vxtest::ReadBytes(fs::path(path));
        std::vector<std::string> messages;
        if (bytes.compare(0, 3, kBom) != 0) {
            ADD_FAILURE() << "no byte order mark";
            return messages;
        }
        size_t at = 3;
        while (at < bytes.size()) {
            const size_t end = bytes.find("\r\n", at);
            if (end == std::string::npos) {
                ADD_FAILURE() << "entry without CR LF at byte " << at;
                break;
            }
            const std::string entry = bytes.substr(at, end - at);
            EXPECT_TRUE(IsStamp(entry)) << "bad stamp: " << entry;
            messages.push_back(entry.size() >= 11 ? entry.substr(11) : entry);
            at = end + 2;
        }
        return messages;
    }
    std::vector<std::string> Messages() const { return Messages(path_); }

    fs::path dir_;
    std::wstring path_;
};

TEST_F(LogWrapper, FileIsBomThenStampedCrLfLines) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    SYSTEMTIME before;
    GetLocalTime(&before);
    Log().WriteLog(VexloTool::VXLOG_INFO, L"ready");
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"two\nlines");
    Log().Save();

    const std::string bytes = vxtest::ReadBytes(fs::path(path_));
    ASSERT_EQ(bytes.size(), 3u + (11 + 5 + 2) + (11 + 9 + 2));
    EXPECT_EQ(bytes.substr(0, 3), kBom);
    // No newline translation: the message's LF stays, the entry ends in CR LF.
    EXPECT_EQ(bytes.substr(14, 7), "ready\r\n");
    EXPECT_EQ(bytes.substr(3 + 18 + 11), "two\nlines\r\n");

    // The stamp is the local time of the call.
    const int stamped = std::stoi(bytes.substr(3, 2)) * 3600 + std::stoi(bytes.substr(6, 2)) * 60 +
                        std::stoi(bytes.substr(9, 2));
    const int local = before.wHour * 3600 + before.wMinute * 60 + before.wSecond;
    EXPECT_LE((stamped - local + 86400) % 86400, 5) << bytes.substr(3, 8);
}

TEST_F(LogWrapper, MessagesFollowTheWindowsFormatRules) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    const auto info = VexloTool::VXLOG_INFO;
    Log().WriteLog(info, L"%s=%d", L"count", 42);
    Log().WriteLog(info, L"%S and %hs", "narrow", "short");
    Log().WriteLog(info, L"100%% done");
    Log().WriteLog(info, L"%5.2f|%x|%c|%-4s|", 3.14159, 255u, L'z', L"ab");
    Log().WriteLog(info, L"%I64d %u", -5000000000LL, 4000000000u);
    Log().WriteLog(info, L"\u00e9t\u00e9 %s \u4e2d", L"\u00fc\U0001F600");
    Log().WriteLog(info, L"");
    Log().WriteLog(info, nullptr);  // cannot be formatted: no entry
    Log().WriteLog(info, L"%s", static_cast<const wchar_t*>(nullptr));
    Log().Save();
    const std::vector<std::string> expected = {
        "count=42",
        "narrow and short",
        "100% done",
        " 3.14|ff|z|ab  |",
        "-5000000000 4000000000",
        "\xc3\xa9t\xc3\xa9 \xc3\xbc\xf0\x9f\x98\x80 \xe4\xb8\xad",
        "",
        "(null)",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(LogWrapper, LongMessagesAreWrittenWhole) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    const std::wstring few(5000, L'a');
    const std::wstring many(300000, L'\u00e9');
    Log().WriteLog(VexloTool::VXLOG_INFO, L"<%s>", few.c_str());
    Log().WriteLog(VexloTool::VXLOG_INFO, many.c_str());  // a format longer than any buffer
    Log().WriteLog(VexloTool::VXLOG_INFO, L"%s%s", many.c_str(), few.c_str());
    Log().Save();
    std::string twoByte;
    for (size_t i = 0; i < many.size(); ++i)
        twoByte += "\xc3\xa9";
    const std::vector<std::string> expected = {
        "<" + std::string(5000, 'a') + ">",
        twoByte,
        twoByte + std::string(5000, 'a'),
    };
    const std::vector<std::string> got = Messages();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(got[i] == expected[i]) << "entry " << i;
}

TEST_F(LogWrapper, ThresholdAdmitsTypesAtOrAboveIt) {
    // Enable and SetLogType before Init have no lasting effect.
    Log().Enable(true);
    Log().SetLogType(static_cast<VXLogType>(-10));
    ASSERT_TRUE(Log().Init(path_.c_str()));

    struct Step {
        int setting;  // 0: keep; 1: Enable(true); 2: Enable(false); 3: SetLogType(value)
        int value;
    };
    const Step steps[] = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {3, -3}, {3, 5}};
    std::vector<std::string> expected;
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        const Step& s = steps[i];
        if (s.setting == 1)
            Log().Enable(true);
        if (s.setting == 2)
            Log().Enable(false);
        if (s.setting == 3)
            Log().SetLogType(static_cast<VXLogType>(s.value));
        const int threshold = s.setting == 1 ? 1 : s.setting == 3 ? s.value : 3;
        for (int type = -5; type <= 6; ++type) {
            Log().WriteLog(static_cast<VXLogType>(type), L"step %d type %d", static_cast<int>(i),
                           type);
            if (type >= threshold) {
                expected.push_back("step " + std::to_string(i) + " type " + std::to_string(type));
            }
        }
    }
    Log().Save();
    EXPECT_EQ(Messages(), expected);
}

TEST_F(LogWrapper, EntriesFromManyThreadsArriveInOrder) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    constexpr int kThreads = 4;
    constexpr int kEach = 20000;
    std::atomic<bool> writing{true};
    // Save drains on its own thread while the writer thread drains too.
    std::thread saver([&] {
        while (writing.load())
            Log().Save();
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int n = 0; n < kEach; ++n) {
                Log().WriteLog(VexloTool::VXLOG_WARNING, L"t%d #%d", t, n);
            }
        });
    }
    for (std::thread& w : writers)
        w.join();
    writing.store(false);
    saver.join();
    Log().Save();

    std::vector<int> next(kThreads, 0);
    size_t count = 0;
    for (const std::string& m : Messages()) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(m.c_str(), "t%d #%d", &t, &n), 2) << m;
        ASSERT_TRUE(t >= 0 && t < kThreads) << m;
        ASSERT_EQ(n, next[t]) << "thread " << t << " out of order";
        ++next[t];
        ++count;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kEach));
}

TEST_F(LogWrapper, UnInitWritesEveryAcceptedEntryAndStopsTheLog) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    constexpr int kCount = 50000;
    for (int n = 0; n < kCount; ++n)
        Log().WriteLog(VexloTool::VXLOG_INFO, L"entry %d", n);
    Log().UnInit();  // no Save first

    std::vector<std::string> messages = Messages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(kCount));
    for (int n = 0; n < kCount; ++n)
        ASSERT_EQ(messages[n], "entry " + std::to_string(n));

    // Stopped: nothing more is written, and nothing fails.
    const std::string closed = vxtest::ReadBytes(fs::path(path_));
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"late");
    Log().Save();
    Log().UnInit();
    EXPECT_EQ(vxtest::ReadBytes(fs::path(path_)), closed);
}

// The death test's child runs the test from its start again, so both sides
// need a path they can agree on.
TEST(LogWrapperExit, EntriesSurviveAHostThatExitsWithoutUnInit) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    const fs::path file = fs::temp_directory_path() / "vx_log_exit_test.log";
    const std::wstring path = file.wstring();
    EXPECT_EXIT(
        {
            Log().Init(path.c_str());
            for (int n = 0; n < 1000; ++n)
                Log().WriteLog(VexloTool::VXLOG_INFO, L"entry %d", n);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string bytes = vxtest::ReadBytes(file);
    fs::remove(file);
    ASSERT_EQ(bytes.compare(0, 3, kBom), 0);
    size_t lines = 0;
    for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1000u);
    EXPECT_NE(bytes.find("entry 999\r\n"), std::string::npos);
}

TEST_F(LogWrapper, WritesOutsideARunAreDropped) {
    // Before the first Init (or after UnInit, the same state) entries are
    // dropped, not kept for the next file.
    Log().UnInit();
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"too early");
    Log().Save();
    ASSERT_TRUE(Log().Init(path_.c_str()));
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"in time");
    Log().Save();
    EXPECT_EQ(Messages(), std::vector<std::string>{"in time"});
}

TEST_F(LogWrapper, InitTruncatesAndRestarts) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    Log().WriteLog(VexloTool::VXLOG_INFO, L"first run");
    Log().UnInit();
    ASSERT_TRUE(Log().Init(path_.c_str()));
    Log().WriteLog(VexloTool::VXLOG_INFO, L"second run");
    Log().Save();
    EXPECT_EQ(Messages(), std::vector<std::string>{"second run"});

    // Init while running finishes the current file first.
    const std::wstring other = Path(L"other.log");
    Log().WriteLog(VexloTool::VXLOG_INFO, L"queued before switching");
    ASSERT_TRUE(Log().Init(other.c_str()));
    Log().WriteLog(VexloTool::VXLOG_INFO, L"in the other file");
    Log().UnInit();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"second run", "queued before switching"}));
    EXPECT_EQ(Messages(other), std::vector<std::string>{"in the other file"});
}

TEST_F(LogWrapper, UnopenableFileIsToleratedAndNoFolderIsCreated) {
    const std::wstring missing = Path(L"missing/sub/app.log");
    ASSERT_TRUE(Log().Init(missing.c_str()));
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"goes nowhere");
    Log().Save();
    Log().UnInit();
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    EXPECT_EQ(std::wstring(Log().GetLogPath()), missing);

    // A null path is refused and leaves the log stopped.
    EXPECT_FALSE(Log().Init(nullptr));
    Log().WriteLog(VexloTool::VXLOG_ERROR, L"still nowhere");
    Log().Save();
}

TEST_F(LogWrapper, PathAndFolder) {
    const std::wstring nested = Path(L"app.log");
    ASSERT_TRUE(Log().Init(nested.c_str()));
    EXPECT_EQ(std::wstring(Log().GetLogPath()), nested);
    EXPECT_EQ(std::wstring(Log().GetLogDir()), dir_.wstring());
    Log().UnInit();
    // Both stay readable after UnInit.
    EXPECT_EQ(std::wstring(Log().GetLogDir()), dir_.wstring());
}

TEST_F(LogWrapper, FileStaysSharedForReadingAndWriting) {
    ASSERT_TRUE(Log().Init(path_.c_str()));
    Log().WriteLog(VexloTool::VXLOG_INFO, L"visible");
    Log().Save();
    // While the log holds the file, another stream reads it and another
    // opens it for writing.
    EXPECT_EQ(Messages(), std::vector<std::string>{"visible"});
    std::fstream other(fs::path(path_), std::ios::in | std::ios::out | std::ios::binary);
    EXPECT_TRUE(other.is_open());
    other.close();
    Log().WriteLog(VexloTool::VXLOG_INFO, L"still logging");
    Log().Save();
    EXPECT_EQ(Messages(), (std::vector<std::string>{"visible", "still logging"}));
}

#if defined(_WIN32)
// The host reaches the instance registered in the DLL, not a copy of its own.
struct InstancePeek : CVXLogWrapper {
    static const volatile void* Registered() { return &_pInstance; }
};

TEST(LogWrapperModule, HostAndLibraryShareOneInstance) {
    HMODULE dll = GetModuleHandleW(L"VexloTool.dll");
    ASSERT_NE(dll, nullptr);
    const FARPROC exported =
        GetProcAddress(dll, "_ZN9VexloTool13SingletonImplINS_13CVXLogWrapperELi0EE10_pInstanceE");
    ASSERT_NE(exported, nullptr);
    EXPECT_EQ(reinterpret_cast<const volatile void*>(exported), InstancePeek::Registered());
    CVXLogWrapper& log = CVXLogWrapper::Instance();
    EXPECT_TRUE(CVXLogWrapper::Existed());
    EXPECT_EQ(*reinterpret_cast<CVXLogWrapper* const volatile*>(exported), &log);
}
#endif

}  // namespace
