// extras_test.cpp: helpers without a Win32 name: thread naming.
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/conformance.h"

namespace {

using vxtest::Event;
using vxtest::TestThread;

// Whether the system shows a thread of this process under the name: the
// kernel's task names on Linux, the thread description on Windows.
bool SystemShowsThreadName(HANDLE thread, const std::string& name) {
#if defined(_WIN32)
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (!get)
        return true;  // nothing to look at on this system
    PWSTR description = nullptr;
    if (FAILED(get(thread, &description)) || !description)
        return false;
    const std::wstring wide(description);
    LocalFree(description);
    return wide == std::wstring(name.begin(), name.end());
#else
    (void)thread;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            return true;
    }
    return false;
#endif
}

TEST(ThreadName, NamesACreatedThreadAndTheCallingThread) {
    Event named;
    Event release;
    TestThread thread([&] {
        release.WaitSet();
        return 0u;
    });
    VxSetThreadName(thread.id(), "vxNamed");
    EXPECT_TRUE(SystemShowsThreadName(thread.handle(), "vxNamed"));
    VxSetThreadName(thread.id(), "thdPool");
    EXPECT_TRUE(SystemShowsThreadName(thread.handle(), "thdPool"));
    release.Set();
    ASSERT_TRUE(thread.Join());
    TestThread self([&] {
        VxSetThreadName(GetCurrentThreadId(), "vxSelf");
        return SystemShowsThreadName(GetCurrentThread(), "vxSelf") ? 1u : 0u;
    });
    ASSERT_TRUE(self.Join());
    DWORD shown = 0;
    GetExitCodeThread(self.handle(), &shown);
    EXPECT_EQ(1u, shown);
}

TEST(ThreadName, LongNamesAndUnknownIdsAreHarmless) {
    Event release;
    TestThread thread([&] {
        release.WaitSet();
        return 0u;
    });
    VxSetThreadName(thread.id(), "a-rather-long-thread-name");
    const bool truncated = SystemShowsThreadName(thread.handle(), "a-rather-long-t");
    const bool full = SystemShowsThreadName(thread.handle(), "a-rather-long-thread-name");
    EXPECT_TRUE(truncated || full);
    VxSetThreadName(0x7ffffffc, "nobody");  // no such thread: no effect
    VxSetThreadName(thread.id(), "");
    release.Set();
}

// The large-buffer hint never changes contents, whatever the range's shape.
TEST(LargeBuffer, HintLeavesContentsAsTheyAre) {
    std::string buffer(5u << 20, '\0');
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<char>(i * 31);
    const std::string before = buffer;
    struct Case {
        size_t offset, size;
    } cases[] = {{0, buffer.size()}, {1, 4096}, {12345, (2u << 20) + 7}, {0, 0}};
    for (const Case& c : cases)
        VxAdviseLargeBuffer(&buffer[c.offset], c.size);
    VxAdviseLargeBuffer(nullptr, 1u << 30);
    EXPECT_TRUE(buffer == before);
}

}  // namespace
