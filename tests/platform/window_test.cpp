// window_test.cpp: window classes, message-only windows, creation and
// destruction messages, handle validation, window longs and subclassing.
#include <set>
#include <vector>

#include "tests/platform/conformance.h"

namespace {

using vxtest::kWaitMs;
using vxtest::TestThread;

std::vector<UINT> gSeen;  // messages seen by RecordingProc on the test thread
LPVOID gCreateParam = nullptr;
bool gWindowValidDuringDestroy = false;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    gSeen.push_back(message);
    if (message == WM_NCCREATE || message == WM_CREATE) {
        gCreateParam = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
    }
    if (message == WM_DESTROY || message == WM_NCDESTROY) {
        gWindowValidDuringDestroy = IsWindow(window) != FALSE;
    }
    if (message == WM_USER + 7)
        return 1234;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK FailCreateProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    gSeen.push_back(message);
    if (message == WM_CREATE)
        return -1;
    return DefWindowProcW(window, message, wParam, lParam);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        gSeen.clear();
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = RecordingProc;
        wc.lpszClassName = L"VxWindowTest";
        atom_ = RegisterClassExW(&wc);
        ASSERT_NE(0, atom_);
    }
    void TearDown() override { UnregisterClassW(L"VxWindowTest", nullptr); }

    static HWND Create(LPVOID param = nullptr) {
        return CreateWindowExW(0, L"VxWindowTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               nullptr, param);
    }

    static size_t IndexOf(UINT message) {
        for (size_t i = 0; i < gSeen.size(); ++i) {
            if (gSeen[i] == message)
                return i;
        }
        return SIZE_MAX;
    }

    ATOM atom_ = 0;
};

TEST_F(WindowTest, ClassesRegisterOnceCaseInsensitively) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecordingProc;
    for (LPCWSTR name : {L"VxWindowTest", L"vxwindowtest", L"VXWINDOWTEST"}) {
        wc.lpszClassName = name;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(0, RegisterClassExW(&wc));
        EXPECT_EQ(ERROR_CLASS_ALREADY_EXISTS, GetLastError());
    }
    wc.cbSize = sizeof wc - 1;
    wc.lpszClassName = L"VxOtherClass";
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, RegisterClassExW(&wc));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(WindowTest, ClassWithWindowsCannotBeUnregistered) {
    HWND window = Create();
    ASSERT_NE(nullptr, window);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(UnregisterClassW(L"VxWindowTest", nullptr));
    EXPECT_EQ(ERROR_CLASS_HAS_WINDOWS, GetLastError());
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassW(L"vxWINDOWtest", nullptr));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(UnregisterClassW(L"VxWindowTest", nullptr));
    EXPECT_EQ(ERROR_CLASS_DOES_NOT_EXIST, GetLastError());
}

TEST_F(WindowTest, CreationSendsNcCreateThenCreateWithTheParameter) {
    int marker = 0;
    HWND window = Create(&marker);
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(IsWindow(window));
    ASSERT_NE(SIZE_MAX, IndexOf(WM_NCCREATE));
    ASSERT_NE(SIZE_MAX, IndexOf(WM_CREATE));
    EXPECT_LT(IndexOf(WM_NCCREATE), IndexOf(WM_CREATE));
    EXPECT_EQ(&marker, gCreateParam);
    DWORD process = 0;
    EXPECT_EQ(GetCurrentThreadId(), GetWindowThreadProcessId(window, &process));
    EXPECT_NE(0u, process);
    HWND byAtom = CreateWindowExW(0, reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(atom_)), L"",
                                  0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_NE(nullptr, byAtom);
    DestroyWindow(byAtom);
    DestroyWindow(window);
}

TEST_F(WindowTest, FailedCreateDestroysTheWindow) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = FailCreateProc;
    wc.lpszClassName = L"VxFailCreate";
    ASSERT_NE(0, RegisterClassExW(&wc));
    EXPECT_EQ(nullptr, CreateWindowExW(0, L"VxFailCreate", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                       nullptr, nullptr, nullptr));
    EXPECT_NE(SIZE_MAX, IndexOf(WM_NCDESTROY));
    EXPECT_TRUE(UnregisterClassW(L"VxFailCreate", nullptr));  // no window is left
}

TEST_F(WindowTest, DestroySendsDestroyThenNcDestroyAndInvalidatesTheHandle) {
    HWND window = Create();
    ASSERT_NE(nullptr, window);
    gSeen.clear();
    EXPECT_TRUE(DestroyWindow(window));
    ASSERT_NE(SIZE_MAX, IndexOf(WM_DESTROY));
    ASSERT_NE(SIZE_MAX, IndexOf(WM_NCDESTROY));
    EXPECT_LT(IndexOf(WM_DESTROY), IndexOf(WM_NCDESTROY));
    EXPECT_TRUE(gWindowValidDuringDestroy);
    EXPECT_FALSE(IsWindow(window));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DestroyWindow(window));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, GetLastError() == ERROR_INVALID_WINDOW_HANDLE,
                               "Wine reports ERROR_ACCESS_DENIED for a destroyed window");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, GetWindowThreadProcessId(window, nullptr));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(WindowTest, OnlyTheOwningThreadDestroys) {
    HWND window = Create();
    ASSERT_NE(nullptr, window);
    BOOL destroyed = TRUE;
    DWORD error = 0;
    TestThread other([&] {
        SetLastError(0xdeadbeef);
        destroyed = DestroyWindow(window);
        error = GetLastError();
        return 0u;
    });
    ASSERT_TRUE(other.Join());
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(ERROR_ACCESS_DENIED, error);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowTest, HandlesAreNotReusedSoon) {
    std::set<HWND> seen;
    for (int i = 0; i < 200; ++i) {
        HWND window = Create();
        ASSERT_NE(nullptr, window);
        EXPECT_TRUE(seen.insert(window).second) << "handle reused after " << i;
        DestroyWindow(window);
    }
    for (HWND old : seen)
        EXPECT_FALSE(IsWindow(old));
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7ff0bad0))));
}

TEST_F(WindowTest, WindowsDieWithTheirThread) {
    HWND window = nullptr;
    TestThread owner([&] {
        window = Create();
        return 0u;
    });
    ASSERT_TRUE(owner.Join());
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(vxtest::WaitUntil([&] { return !IsWindow(window); }));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(PostMessageW(window, WM_USER, 0, 0));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

WNDPROC gPrevious = nullptr;
int gSubclassCalls = 0;

LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ++gSubclassCalls;
    if (message == WM_USER + 8)
        return 5678;
    return CallWindowProcW(gPrevious, window, message, wParam, lParam);
}

TEST_F(WindowTest, LongsAndSubclassing) {
    HWND window = Create();
    ASSERT_NE(nullptr, window);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, SetWindowLongPtrW(window, GWLP_USERDATA, 42));
    EXPECT_EQ(0xdeadbeefu, GetLastError());  // success leaves the last error alone
    EXPECT_EQ(42, SetWindowLongPtrW(window, GWLP_USERDATA, -7));
    EXPECT_EQ(-7, GetWindowLongPtrW(window, GWLP_USERDATA));

    EXPECT_EQ(reinterpret_cast<LONG_PTR>(RecordingProc), GetWindowLongPtrW(window, GWLP_WNDPROC));
    gPrevious = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWL_WNDPROC, reinterpret_cast<LONG_PTR>(SubclassProc)));
    EXPECT_EQ(reinterpret_cast<WNDPROC>(RecordingProc), gPrevious);
    EXPECT_EQ(5678, SendMessageW(window, WM_USER + 8, 0, 0));
    EXPECT_EQ(1234, SendMessageW(window, WM_USER + 7, 0, 0));  // passed on
    EXPECT_EQ(2, gSubclassCalls);
    EXPECT_EQ(1234, CallWindowProcW(gPrevious, window, WM_USER + 7, 0, 0));
    // Restoring the previous procedure ends the subclassing.
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(gPrevious));
    EXPECT_EQ(1234, SendMessageW(window, WM_USER + 7, 0, 0));
    EXPECT_EQ(2, gSubclassCalls);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, SetWindowLongPtrW(window, -1000, 1));
    EXPECT_EQ(ERROR_INVALID_INDEX, GetLastError());
    DestroyWindow(window);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, SetWindowLongPtrW(window, GWLP_USERDATA, 1));
    EXPECT_EQ(ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST_F(WindowTest, SendingToAnotherThreadsWindow) {
    vxtest::Event created;
    HWND window = nullptr;
    TestThread owner([&] {
        window = Create();
        created.Set();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        DestroyWindow(window);
        return 0u;
    });
    ASSERT_TRUE(created.WaitSet());
    ASSERT_NE(nullptr, window);
    SetLastError(0xdeadbeef);
    const LRESULT result = SendMessageW(window, WM_USER + 7, 0, 0);
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::LinuxLayer, result == 1234,
                               "SendMessageW reaches only windows of the calling thread");
    PostThreadMessageW(owner.id(), WM_QUIT, 0, 0);
    ASSERT_TRUE(owner.Join());
}

TEST_F(WindowTest, DefaultProcedure) {
    HWND window = Create();
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(0, DefWindowProcW(window, WM_USER, 1, 2));
    EXPECT_EQ(0, CallWindowProcW(DefWindowProcW, window, WM_USER, 1, 2));
    SendMessageW(window, WM_CLOSE, 0, 0);  // the default for WM_CLOSE destroys
    EXPECT_FALSE(IsWindow(window));
}

}  // namespace
