// time.cpp: GetLocalTime over the C library's clock and zone rules.
// Conformance tests: tests/platform/time_test.cpp.
#include "vxplatform/time.h"

#include <ctime>

namespace {

// Breaking a time down takes the C library's zone lock; loggers ask many
// times a second, so each thread keeps the fields of its last second.
struct SecondCache {
    time_t second = -1;
    struct tm fields = {};
};

thread_local SecondCache t_cache;

}  // namespace

void GetLocalTime(LPSYSTEMTIME time) {
    if (!time)
        return;
    // The coarse clock costs a memory read instead of a clock read; it
    // advances with the kernel tick (1 to 10 ms), as Windows' local time
    // advances with its timer tick (about 15.6 ms).
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    SecondCache& cache = t_cache;
    if (now.tv_sec != cache.second) {
        struct tm fields;
        if (!localtime_r(&now.tv_sec, &fields))
            return;
        cache.fields = fields;
        cache.second = now.tv_sec;
    }
    const struct tm& f = cache.fields;
    time->wYear = static_cast<WORD>(f.tm_year + 1900);
    time->wMonth = static_cast<WORD>(f.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(f.tm_wday);
    time->wDay = static_cast<WORD>(f.tm_mday);
    time->wHour = static_cast<WORD>(f.tm_hour);
    time->wMinute = static_cast<WORD>(f.tm_min);
    // A leap second shows as second 59, as on Windows.
    time->wSecond = static_cast<WORD>(f.tm_sec > 59 ? 59 : f.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
