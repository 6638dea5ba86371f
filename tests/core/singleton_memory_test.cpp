// Service holder policies and the module memory helpers.
#include <stdexcept>

#include <gtest/gtest.h>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/Memory.h"
#include "VexloTool/SingletonImpl.h"
#include "support/message_loop.h"

using namespace VexloTool;

namespace {

// Fails its first construction, then succeeds.
class Flaky : public SingletonImpl<Flaky, 0> {
public:
    static int constructions;
    static bool failNext;
    Flaky() {
        if (failNext) {
            failNext = false;
            throw std::runtime_error("first construction fails");
        }
        ++constructions;
    }
};
int Flaky::constructions = 0;
bool Flaky::failNext = true;

class OnHeap : public SingletonImpl<OnHeap, 1> {
public:
    int value = 42;
};

TEST(SingletonImpl, StaticPolicyRetriesAfterAThrowingConstructor) {
    EXPECT_FALSE(Flaky::Existed());
    EXPECT_THROW(Flaky::Instance(), std::runtime_error);
    EXPECT_FALSE(Flaky::Existed());
    Flaky& first = Flaky::Instance();
    Flaky& second = Flaky::Instance();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(Flaky::constructions, 1);
    EXPECT_TRUE(Flaky::Existed());
}

TEST(SingletonImpl, HeapPolicyClearsRegistrationWhenDeleted) {
    EXPECT_FALSE(OnHeap::Existed());
    OnHeap& instance = OnHeap::Instance();
    EXPECT_EQ(&instance, &OnHeap::Instance());
    EXPECT_EQ(instance.value, 42);
    EXPECT_TRUE(OnHeap::Existed());
    delete &instance;
    EXPECT_FALSE(OnHeap::Existed());
}

TEST(SingletonImpl, HostAndLibraryReachTheSameService) {
    // The test registers a timer through its own Instance(); the library's
    // window procedure looks it up through the library's. Were they two
    // objects, the procedure would know no timer and the callable never run.
    vxtest::TestWindow window;
    CFuncDispatch::Instance().Init(window.hwnd());
    EXPECT_TRUE(CFuncDispatch::Existed());
    int runs = 0;
    const long id = CFuncDispatch::StartTimer(
        1, [&] { ++runs; }, false);
    EXPECT_TRUE(vxtest::PumpUntil([&] { return runs == 1; }));
    CFuncDispatch::StopTimer(id);
    CFuncDispatch::Instance().UnInit();
}

TEST(SingletonImpl, DispatchBeforeAnyInitIsDropped) {
    bool ran = false;
    CFuncDispatch::Dispatch([&] { ran = true; });
    vxtest::PumpPending();
    EXPECT_FALSE(ran);
}

TEST(MemoryHelpers, BlocksAreUsableZeroedAndDistinct) {
    unsigned char* zeroed = static_cast<unsigned char*>(AllocateAndInitBuffer(4096));
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(zeroed[i], 0);
    void* a = AllocateBuffer(0);
    void* b = AllocateBuffer(0);
    void* c = AllocateAndInitBuffer(0);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    ReleaseBuffer(zeroed);
    ReleaseBuffer(a);
    ReleaseBuffer(b);
    ReleaseBuffer(c);
    ReleaseBuffer(nullptr);
}

}  // namespace
