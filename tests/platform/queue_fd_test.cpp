// queue_fd_test.cpp: the message queue's pollable descriptor (Linux only),
// driven the way a host with its own event loop drives it.
#if !defined(_WIN32)
#include <poll.h>

#include "tests/platform/conformance.h"

namespace {

using vxtest::kWaitMs;
using vxtest::TestThread;

bool Readable(int fd, int ms) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, ms) == 1 && (entry.revents & POLLIN) != 0;
}

std::vector<UINT> DrainAll() {
    std::vector<UINT> seen;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        seen.push_back(msg.message);
    return seen;
}

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(QueueFd, ReadableWhileInputIsQueued) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread gets its queue
    // Input queued before the descriptor exists counts too.
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER, 0, 0);
    const int fd = VxGetMessageQueueFd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, VxGetMessageQueueFd());
    EXPECT_TRUE(Readable(fd, 0));
    EXPECT_EQ(2u, DrainAll().size());
    EXPECT_FALSE(Readable(fd, 0));

    const DWORD self = GetCurrentThreadId();
    TestThread poster([&] {
        Sleep(20);
        PostThreadMessageW(self, WM_USER + 1, 0, 0);
        return 0u;
    });
    EXPECT_TRUE(Readable(fd, static_cast<int>(kWaitMs)));
    EXPECT_EQ(std::vector<UINT>{WM_USER + 1}, DrainAll());
    EXPECT_FALSE(Readable(fd, 0));

    PostQuitMessage(0);
    EXPECT_TRUE(Readable(fd, 0));
    EXPECT_EQ(std::vector<UINT>{WM_QUIT}, DrainAll());
    EXPECT_FALSE(Readable(fd, 0));
}

TEST(QueueFd, DueTimersMakeItReadable) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PlainProc;
    wc.lpszClassName = L"VxQueueFd";
    ASSERT_NE(0, RegisterClassExW(&wc));
    HWND window = CreateWindowExW(0, L"VxQueueFd", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    const int fd = VxGetMessageQueueFd();
    DrainAll();
    ASSERT_NE(0u, SetTimer(window, 1, 20, nullptr));
    EXPECT_FALSE(Readable(fd, 0));
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(Readable(fd, static_cast<int>(kWaitMs))) << round;
        EXPECT_EQ(std::vector<UINT>{WM_TIMER}, DrainAll());
    }
    KillTimer(window, 1);
    DrainAll();
    EXPECT_FALSE(Readable(fd, 60));
    DestroyWindow(window);
    UnregisterClassW(L"VxQueueFd", nullptr);
}

}  // namespace
#endif
