// Event marshalling: occurrences bound with their values reach the host's
// slot on the window thread, intact and in order.
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "core/callback_marshal.h"
#include "support/message_loop.h"

using namespace VexloTool;
using vxtest::PumpUntil;

namespace {

// Whether PostEvent accepts these values for the signal.
template <class Signal, class... Values>
using PostEventCall = decltype(PostEvent(std::declval<const boost::shared_ptr<Signal>&>(),
                                         std::declval<Values>()...));
template <class Void, class Signal, class... Values>
struct Postable : std::false_type {};
template <class Signal, class... Values>
struct Postable<std::void_t<PostEventCall<Signal, Values...>>, Signal, Values...> : std::true_type {
};
template <class Signal, class... Values>
constexpr bool kPostable = Postable<void, Signal, Values...>::value;

// Values of the fire functions' parameter types are accepted...
static_assert(kPostable<EventSignal0>);
static_assert(kPostable<EventSignalUInt, unsigned long>);
static_assert(kPostable<EventSignalUInt, int>);
static_assert(kPostable<EventSignalBool, bool>);
static_assert(kPostable<EventSignalData, std::string>);
static_assert(kPostable<EventSignalResult, std::wstring, unsigned long, unsigned long>);
static_assert(kPostable<EventSignalChunk, unsigned long, unsigned long, const std::string&>);
// ...but no pointer or array, which would be read later on the window
// thread after its source may be gone, and no wrong number of values.
static_assert(!kPostable<EventSignalData, const char*>);
static_assert(!kPostable<EventSignalData, char (&)[6]>);
static_assert(!kPostable<EventSignalData, std::nullptr_t>);
static_assert(!kPostable<EventSignalResult, const wchar_t*, unsigned long, unsigned long>);
static_assert(!kPostable<EventSignalResult, const wchar_t (&)[4], unsigned long, unsigned long>);
static_assert(!kPostable<EventSignalChunk, unsigned long, unsigned long, char*>);
static_assert(!kPostable<EventSignalBool, const char*>);
static_assert(!kPostable<EventSignalUInt, void*>);
static_assert(!kPostable<EventSignalProgress, unsigned long, unsigned long>);

class MarshalTest : public ::testing::Test {
protected:
    void SetUp() override { CFuncDispatch::Instance().Init(window.hwnd()); }
    void TearDown() override { CFuncDispatch::Instance().UnInit(); }
    vxtest::TestWindow window;
};

TEST_F(MarshalTest, PayloadIsCopiedAtBindingTime) {
    auto signal = boost::make_shared<EventSignalData>();
    std::vector<std::string> received;
    DWORD ranOn = 0;
    signal->connect([&](const char* data, unsigned int length) {
        received.emplace_back(data, length);
        ranOn = GetCurrentThreadId();
    });
    char buffer[] = "first";
    std::thread source([&] {
        PostEvent(signal, CopyPayload(buffer, 5));
        buffer[0] = 'X';  // the source reuses its buffer at once
        PostEvent(signal, CopyPayload(buffer, 0));
    });
    source.join();
    ASSERT_TRUE(PumpUntil([&] { return received.size() == 2; }));
    EXPECT_EQ(received[0], "first");
    EXPECT_EQ(received[1], "");
    EXPECT_EQ(ranOn, GetCurrentThreadId());
}

TEST_F(MarshalTest, ValuesAreConvertedAndCopiedWhenBound) {
    auto chunk = boost::make_shared<EventSignalChunk>();
    auto result = boost::make_shared<EventSignalResult>();
    std::string payload;
    unsigned long status = 0;
    chunk->connect([&](unsigned long, unsigned long, const char* data, unsigned int length) {
        payload.assign(data, length);
    });
    result->connect([&](unsigned long, unsigned long code) { status = code; });
    {
        // Zero bytes inside are part of the payload; the sources go away
        // before the window thread runs the occurrences.
        std::string bytes("a\0b\0c", 5);
        std::wstring url = L"http://127.0.0.1/";
        PostEvent(chunk, 1ul, 2ul, CopyPayload(bytes.data(), 5));
        PostEvent(result, url, 0ul, 200u);
        bytes.assign(5, 'X');
        url.assign(L"gone");
    }
    ASSERT_TRUE(PumpUntil([&] { return status == 200; }));
    EXPECT_EQ(payload, std::string("a\0b\0c", 5));
}

TEST_F(MarshalTest, ZeroLengthPayloadArrivesAsValidPointer) {
    auto signal = boost::make_shared<EventSignalChunk>();
    const char* seen = nullptr;
    unsigned int seenLength = 99;
    unsigned long a = 0, b = 0;
    signal->connect([&](unsigned long x, unsigned long y, const char* data, unsigned int length) {
        a = x;
        b = y;
        seen = data;
        seenLength = length;
    });
    PostEvent(signal, 3ul, 4ul, CopyPayload(nullptr, 0));
    ASSERT_TRUE(PumpUntil([&] { return seen != nullptr; }));
    EXPECT_EQ(seenLength, 0u);
    EXPECT_EQ(a, 3ul);
    EXPECT_EQ(b, 4ul);
}

TEST_F(MarshalTest, EmptySignalPointerRunsAndDoesNothing) {
    boost::shared_ptr<EventSignalUInt> empty;
    PostEvent(empty, 5u);
    bool after = false;
    CFuncDispatch::Dispatch([&] { after = true; });
    EXPECT_TRUE(PumpUntil([&] { return after; }));
}

TEST_F(MarshalTest, OccurrenceOutlivesSourceReleasingItsSignal) {
    std::vector<unsigned long> values;
    {
        auto signal = boost::make_shared<EventSignalProgress>();
        signal->connect([&](unsigned long x, unsigned long y, unsigned long z) {
            values = {x, y, z};
        });
        PostEvent(signal, 1ul, 2ul, 3ul);
    }  // the source drops its signal before the occurrence runs
    ASSERT_TRUE(PumpUntil([&] { return values.size() == 3; }));
    EXPECT_EQ(values, (std::vector<unsigned long>{1, 2, 3}));
}

TEST_F(MarshalTest, EverySignatureDeliversItsValuesInOrder) {
    std::vector<std::string> log;
    auto s0 = boost::make_shared<EventSignal0>();
    auto su = boost::make_shared<EventSignalUInt>();
    auto sb = boost::make_shared<EventSignalBool>();
    auto sr = boost::make_shared<EventSignalResult>();
    s0->connect([&] { log.push_back("sent"); });
    su->connect([&](unsigned int v) { log.push_back("uint " + std::to_string(v)); });
    sb->connect([&](bool v) { log.push_back(v ? "true" : "false"); });
    sr->connect([&](unsigned long e, unsigned long s) {
        log.push_back("result " + std::to_string(e) + " " + std::to_string(s));
    });
    std::thread source([&] {
        PostEvent(s0);
        PostEvent(su, 10061);
        PostEvent(su, 7ul);
        PostEvent(sb, true);
        PostEvent(sr, std::wstring(L"http://127.0.0.1/"), 0ul, 200ul);
    });
    source.join();
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 5; }));
    EXPECT_EQ(log,
              (std::vector<std::string>{"sent", "uint 10061", "uint 7", "true", "result 0 200"}));
}

}  // namespace
