// time.h: calendar time of day for the Linux layer. Conformance tests:
// tests/platform/time_test.cpp.
#pragma once

#include "vxplatform/base.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;      // 1 to 12
    WORD wDayOfWeek;  // 0 (Sunday) to 6
    WORD wDay;        // 1 to 31
    WORD wHour;       // 0 to 23
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// The current local time. The time zone comes from TZ (or the system zone)
// as read by the C library; a process that changes TZ calls tzset(), and the
// change shows from the next second. Milliseconds advance with the kernel
// tick (1 to 10 ms), as on Windows they advance with its timer tick.
VXP_API void GetLocalTime(LPSYSTEMTIME time);
