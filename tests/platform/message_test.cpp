// message_test.cpp: posted and thread messages, retrieval and filters,
// dispatching, quit, posting order, queue limits and message waits.
#include <atomic>
#include <memory>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::Event;
using vxtest::kWaitMs;
using vxtest::TestThread;

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Received> gReceived;  // by the window procedure, on the test thread

LRESULT CALLBACK RecordProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        gReceived.push_back({message, wParam, lParam});
        return static_cast<LRESULT>(wParam) * 2;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReceived.clear();
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = RecordProc;
        wc.lpszClassName = L"VxMessageTest";
        ASSERT_NE(0, RegisterClassExW(&wc));
        window_ = NewWindow();
        ASSERT_NE(nullptr, window_);
        Drain();  // start from a queue that has been looked at
    }
    void TearDown() override {
        if (IsWindow(window_))
            DestroyWindow(window_);
        UnregisterClassW(L"VxMessageTest", nullptr);
    }
    static HWND NewWindow() {
        return CreateWindowExW(0, L"VxMessageTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               nullptr, nullptr);
    }
    static void Drain() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }

    HWND window_ = nullptr;
};

TEST_F(MessageTest, PostedMessagesArriveAndDispatch) {
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(PostMessageW(window_, WM_USER + 1, 21, -5));
    MSG msg{};
    ASSERT_EQ(TRUE, GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(window_, msg.hwnd);
    EXPECT_EQ(WM_USER + 1, msg.message);
    EXPECT_EQ(21u, msg.wParam);
    EXPECT_EQ(-5, msg.lParam);
    EXPECT_FALSE(TranslateMessage(&msg));
    EXPECT_EQ(42, DispatchMessageW(&msg));
    ASSERT_EQ(1u, gReceived.size());
    MSG none;
    EXPECT_FALSE(PeekMessageW(&none, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, PeekRemovesOnlyWhenAsked) {
    PostMessageW(window_, WM_USER + 2, 1, 0);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(WM_USER + 2, msg.message);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, FiltersSelectByWindowAndRange) {
    HWND other = NewWindow();
    ASSERT_NE(nullptr, other);
    const HWND threadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
    struct Case {
        HWND filter;
        UINT first, last;
        UINT expected;  // message taken first, 0 for none
    };
    const Case table[] = {
        {nullptr, 0, 0, WM_USER + 1},
        {other, 0, 0, WM_USER + 2},
        {threadOnly, 0, 0, WM_USER + 3},
        {nullptr, WM_USER + 2, WM_USER + 3, WM_USER + 2},
        {nullptr, WM_USER + 3, WM_USER + 3, WM_USER + 3},
        {window_, WM_USER + 2, WM_USER + 9, 0},
        {nullptr, WM_USER + 10, WM_USER + 20, 0},
    };
    for (const Case& c : table) {
        Drain();
        PostMessageW(window_, WM_USER + 1, 0, 0);
        PostMessageW(other, WM_USER + 2, 0, 0);
        PostThreadMessageW(GetCurrentThreadId(), WM_USER + 3, 0, 0);
        MSG msg{};
        const BOOL found = PeekMessageW(&msg, c.filter, c.first, c.last, PM_REMOVE);
        EXPECT_EQ(c.expected != 0, found != FALSE) << c.first;
        if (found) {
            EXPECT_EQ(c.expected, msg.message);
        }
    }
    Drain();
    DestroyWindow(other);
    MSG msg;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(-1, GetMessageW(&msg, other, 0, 0));  // a destroyed filter window
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(MessageTest, PostToADestroyedWindowFails) {
    HWND doomed = NewWindow();
    ASSERT_NE(nullptr, doomed);
    PostMessageW(doomed, WM_USER + 4, 0, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_USER + 5, 0, 0);
    DestroyWindow(doomed);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PostMessageW(doomed, WM_USER + 4, 0, 0));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    // The destroyed window's queued message was discarded, others were not.
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(WM_USER + 5, msg.message);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageTest, ThreadMessagesNeedAQueue) {
    Event queueReady;
    Event release;
    UINT got = 0;
    TestThread receiver([&] {
        release.WaitSet();  // no queue yet
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // now it has one
        queueReady.Set();
        if (GetMessageW(&msg, nullptr, 0, 0) > 0)
            got = msg.message;
        return 0u;
    });
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PostThreadMessageW(receiver.id(), WM_USER + 6, 0, 0));
    EXPECT_EQ(ERROR_INVALID_THREAD_ID, GetLastError());
    release.Set();
    ASSERT_TRUE(queueReady.WaitSet());
    EXPECT_TRUE(PostThreadMessageW(receiver.id(), WM_USER + 6, 0, 0));
    ASSERT_TRUE(receiver.Join());
    EXPECT_EQ(WM_USER + 6, got);
}

TEST_F(MessageTest, QuitComesAfterThePostedMessages) {
    PostMessageW(window_, WM_USER + 1, 1, 0);
    PostQuitMessage(17);
    PostMessageW(window_, WM_USER + 1, 2, 0);
    MSG msg;
    std::vector<WPARAM> order;
    BOOL result;
    while ((result = GetMessageW(&msg, nullptr, 0, 0)) > 0)
        order.push_back(msg.wParam);
    EXPECT_EQ(FALSE, result);
    EXPECT_EQ(WM_QUIT, msg.message);
    EXPECT_EQ(17u, msg.wParam);
    EXPECT_EQ((std::vector<WPARAM>{1, 2}), order);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // quit is taken once
}

TEST_F(MessageTest, MessagesFromOneThreadKeepTheirOrder) {
    constexpr WPARAM kCount = 5000;
    const HWND target = window_;
    TestThread poster([&] {
        for (WPARAM i = 0; i < kCount; ++i) {
            while (!PostMessageW(target, WM_USER + 1, i, 0))
                Sleep(1);  // queue full: retry
        }
        return 0u;
    });
    MSG msg;
    while (gReceived.size() < kCount && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    ASSERT_EQ(kCount, gReceived.size());
    for (WPARAM i = 0; i < kCount; ++i)
        ASSERT_EQ(i, gReceived[i].wParam);
}

TEST_F(MessageTest, EachPostingThreadKeepsItsOwnOrder) {
    constexpr int kThreads = 4;
    constexpr WPARAM kEach = 2000;
    const HWND target = window_;
    {
        std::vector<std::unique_ptr<TestThread>> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back(new TestThread([=] {
                for (WPARAM i = 0; i < kEach; ++i) {
                    while (!PostMessageW(target, WM_USER + 1, i, t))
                        Sleep(1);
                }
                return 0u;
            }));
        }
        MSG msg;
        while (gReceived.size() < kThreads * kEach && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
    }
    ASSERT_EQ(kThreads * kEach, gReceived.size());
    std::vector<WPARAM> next(kThreads, 0);
    for (const Received& r : gReceived) {
        ASSERT_EQ(next[static_cast<size_t>(r.lParam)], r.wParam) << "thread " << r.lParam;
        ++next[static_cast<size_t>(r.lParam)];
    }
}

TEST_F(MessageTest, AFullQueueRefusesPosts) {
    int posted = 0;
    BOOL ok = TRUE;
    while (ok && posted < 20000) {
        ok = PostMessageW(window_, WM_USER + 1, 0, 0);
        if (ok)
            ++posted;
    }
    const DWORD error = GetLastError();
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine,
                               posted == 10000 && error == ERROR_NOT_ENOUGH_QUOTA,
                               "Wine has no limit of posted messages per queue");
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_TRUE(PostMessageW(window_, WM_USER + 1, 0, 0));  // room again
}

TEST_F(MessageTest, MsgWaitWakesForAMessagePostedByAnotherThread) {
    Event never;
    const HWND target = window_;
    TestThread poster([&] {
        Sleep(30);
        PostMessageW(target, WM_USER + 1, 0, 0);
        return 0u;
    });
    HANDLE handles[] = {never.get()};
    EXPECT_EQ(WAIT_OBJECT_0 + 1,
              MsgWaitForMultipleObjects(1, handles, FALSE, kWaitMs, QS_ALLINPUT));
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(WM_USER + 1, msg.message);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, [&] {
        PostThreadMessageW(GetCurrentThreadId(), WM_USER + 2, 0, 0);
        return MsgWaitForMultipleObjects(1, handles, FALSE, 0, QS_POSTMESSAGE);
    }());
}

TEST_F(MessageTest, MsgWaitReportsObjectsFirstAndTimesOut) {
    Event signalled(true, true);
    Event never;
    PostMessageW(window_, WM_USER + 1, 0, 0);
    HANDLE handles[] = {never.get(), signalled.get()};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, MsgWaitForMultipleObjects(2, handles, FALSE, 0, QS_ALLINPUT));
    Drain();
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(1, handles, FALSE, 20, QS_ALLINPUT));
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT));
}

TEST_F(MessageTest, MsgWaitIgnoresInputAlreadySeen) {
    PostMessageW(window_, WM_USER + 1, 0, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));  // seen, not removed
    EXPECT_EQ(WAIT_TIMEOUT, MsgWaitForMultipleObjects(0, nullptr, FALSE, 30, QS_ALLINPUT));
    PostMessageW(window_, WM_USER + 1, 0, 0);  // new input wakes it again
    EXPECT_EQ(WAIT_OBJECT_0, MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT));
}

TEST_F(MessageTest, AWaitAndDrainLoopNeverLosesAWake) {
    constexpr int kCount = 3000;
    const HWND target = window_;
    TestThread poster([&] {
        for (int i = 0; i < kCount; ++i) {
            while (!PostMessageW(target, WM_USER + 1, static_cast<WPARAM>(i), 0))
                Sleep(1);
            if (i % 7 == 0)
                Sleep(0);
        }
        return 0u;
    });
    while (gReceived.size() < static_cast<size_t>(kCount)) {
        const DWORD r = MsgWaitForMultipleObjects(0, nullptr, FALSE, kWaitMs, QS_ALLINPUT);
        ASSERT_EQ(WAIT_OBJECT_0, r) << "lost a wake after " << gReceived.size();
        Drain();
    }
    EXPECT_EQ(static_cast<size_t>(kCount), gReceived.size());
}

}  // namespace
