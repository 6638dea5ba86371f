// time_test.cpp: conformance of GetLocalTime; passes on Windows and on the
// Linux layer.
#include <cstdlib>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "vxplatform.h"

namespace {

bool SameSecond(const SYSTEMTIME& st, const std::tm& tm) {
    return st.wYear == tm.tm_year + 1900 && st.wMonth == tm.tm_mon + 1 && st.wDay == tm.tm_mday &&
           st.wDayOfWeek == tm.tm_wday && st.wHour == tm.tm_hour && st.wMinute == tm.tm_min &&
           st.wSecond == tm.tm_sec;
}

// Reads GetLocalTime between two readings of the C runtime's local time and
// retries when a second boundary fell in between.
::testing::AssertionResult MatchesRuntimeLocalTime() {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        SYSTEMTIME st;
        GetLocalTime(&st);
        const std::time_t after = std::time(nullptr);
        if (before != after)
            continue;
        const std::tm expected = *std::localtime(&before);
        if (st.wMilliseconds >= 1000) {
            return ::testing::AssertionFailure() << "milliseconds " << st.wMilliseconds;
        }
        if (SameSecond(st, expected))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "GetLocalTime " << st.wYear << "-" << st.wMonth << "-" << st.wDay << " (day "
               << st.wDayOfWeek << ") " << st.wHour << ":" << st.wMinute << ":" << st.wSecond
               << ", C runtime " << expected.tm_year + 1900 << "-" << expected.tm_mon + 1 << "-"
               << expected.tm_mday << " (day " << expected.tm_wday << ") " << expected.tm_hour
               << ":" << expected.tm_min << ":" << expected.tm_sec;
    }
    return ::testing::AssertionFailure() << "the clock kept jumping";
}

TEST(GetLocalTime, AgreesWithTheRuntimeLocalTime) {
    EXPECT_TRUE(MatchesRuntimeLocalTime());
    // A second thread sees the same clock.
    ::testing::AssertionResult other = ::testing::AssertionFailure();
    std::thread([&] { other = MatchesRuntimeLocalTime(); }).join();
    EXPECT_TRUE(other);
}

TEST(GetLocalTime, MillisecondsMoveWithTheClock) {
    // Successive readings never go back within one second and the
    // millisecond field stays in range.
    SYSTEMTIME previous;
    GetLocalTime(&previous);
    for (int i = 0; i < 10000; ++i) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        ASSERT_LT(now.wMilliseconds, 1000);
        if (now.wSecond == previous.wSecond && now.wMinute == previous.wMinute) {
            ASSERT_GE(now.wMilliseconds, previous.wMilliseconds);
        }
        previous = now;
    }
}

#if !defined(_WIN32)
// Local, not universal, time: the zone comes from TZ. Each reading runs on a
// fresh thread, as a zone change takes effect from the next second.
TEST(GetLocalTime, FollowsTheTimeZoneOnLinux) {
    struct Zone {
        const char* tz;
        int offsetHours;  // east of UTC
    };
    const Zone zones[] = {{"UTC0", 0}, {"XST-5", 5}, {"YST7", -7}};
    for (const Zone& zone : zones) {
        SCOPED_TRACE(zone.tz);
        setenv("TZ", zone.tz, 1);
        tzset();
        for (int attempt = 0; attempt < 5; ++attempt) {
            const std::time_t before = std::time(nullptr);
            SYSTEMTIME st;
            std::thread([&] { GetLocalTime(&st); }).join();
            if (std::time(nullptr) != before)
                continue;
            std::tm utc;
            gmtime_r(&before, &utc);
            EXPECT_EQ(st.wHour, (utc.tm_hour + zone.offsetHours + 24) % 24);
            EXPECT_EQ(st.wMinute, utc.tm_min);
            break;
        }
    }
    unsetenv("TZ");
    tzset();
}
#endif

}  // namespace
