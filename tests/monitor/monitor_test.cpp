// Tests of CNetworkMonitorWrapper: the first answer, changes found by the
// 10-second re-check, address-list changes, the bounded stop while a check
// hangs, restarts and bad input. Every check goes to a loopback probe
// server of the test's own (SetCheckUrl); the class's own URL is never used.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "VexloTool/NetworkMonitorWrapper.h"
#include "support/loopback.h"
#include "support/private_network.h"
#include "support/wait.h"

namespace {

using std::chrono::milliseconds;
using VexloTool::CNetworkMonitorWrapper;

// Longer than one re-check interval, with room for a slow machine.
constexpr milliseconds kRecheckDeadline{CNetworkMonitorWrapper::kRecheckIntervalMs + 8000};

// A listener on a loopback port that can be closed and opened again on the
// same port. A check is a connection that the kernel accepts; the server
// never answers, and TakeCheck tells that one has been made.
class ProbeServer {
public:
    explicit ProbeServer(int backlog = SOMAXCONN) : backlog_(backlog) { Open(); }
    ~ProbeServer() { Close(); }
    ProbeServer(const ProbeServer&) = delete;
    ProbeServer& operator=(const ProbeServer&) = delete;

    void Open() {
        // While the port was closed, a test running beside this one may have
        // taken it for a moment (as a client connection's port, say).
        ASSERT_TRUE(vxtest::WaitUntil([this] { return Listen(); }));
        sockaddr_in address = {};
        int length = sizeof(address);
        getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        u_long on = 1;
        ioctlsocket(sock_, FIONBIO, &on);
    }
    void Close() {
        if (sock_ != INVALID_SOCKET)
            closesocket(sock_);
        sock_ = INVALID_SOCKET;
    }
    unsigned short port() const { return port_; }
    std::wstring Url() const { return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/"; }
    // Waits until a check has connected, and drops that connection.
    bool TakeCheck() {
        return vxtest::WaitUntil([this] {
            const SOCKET peer = accept(sock_, nullptr, nullptr);
            if (peer == INVALID_SOCKET)
                return false;
            closesocket(peer);
            return true;
        });
    }

private:
    bool Listen() {
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const BOOL reuse = TRUE;
        setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof(reuse));
        sockaddr_in address = vxtest::LoopbackAddress(port_);
        if (bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(sock_, backlog_) == 0)
            return true;
        Close();
        return false;
    }

    int backlog_;
    SOCKET sock_ = INVALID_SOCKET;
    unsigned short port_ = 0;
};

// Records what the slot was called with, and on which thread.
class Recorder {
public:
    CNetworkMonitorWrapper::NetworkSlot Slot() {
        return CNetworkMonitorWrapper::NetworkSlot([this](bool value) {
            std::lock_guard<std::mutex> guard(lock_);
            values_.push_back(value);
            threads_.push_back(GetCurrentThreadId());
        });
    }
    std::vector<bool> values() const {
        std::lock_guard<std::mutex> guard(lock_);
        return values_;
    }
    std::vector<DWORD> threads() const {
        std::lock_guard<std::mutex> guard(lock_);
        return threads_;
    }
    bool WaitCalls(size_t count, milliseconds deadline = vxtest::kDeadline) const {
        return vxtest::WaitUntil([&] { return values().size() >= count; }, deadline);
    }

private:
    mutable std::mutex lock_;
    std::vector<bool> values_;
    std::vector<DWORD> threads_;
};

class NetworkMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        // Nothing here may probe the class's own URL: a port without a
        // listener until a test names its own server.
        monitor_.SetCheckUrl(UnusedUrl().c_str());
    }
    void TearDown() override { monitor_.UnInit(); }

    static std::wstring UnusedUrl() {
        return L"http://127.0.0.1:" + std::to_wstring(vxtest::UnusedPort()) + L"/";
    }

    vxtest::WinsockSession winsock_;
    CNetworkMonitorWrapper& monitor_ = CNetworkMonitorWrapper::Instance();
};

TEST_F(NetworkMonitor, CheckUrlIsAnHttpHomePage) {
    const std::wstring url = CNetworkMonitorWrapper::kCheckUrl;
    EXPECT_EQ(url.rfind(L"http://", 0), 0u);
    EXPECT_EQ(url.back(), L'/');
}

TEST_F(NetworkMonitor, FirstAnswerIsStoredWithoutSignal) {
    EXPECT_TRUE(monitor_.IsNetAvailable());  // before any check
    Recorder recorder;
    monitor_.Init();
    monitor_.Connect(recorder.Slot());
    ASSERT_TRUE(vxtest::WaitUntil([&] { return !monitor_.IsNetAvailable(); }));
    monitor_.UnInit();
    EXPECT_TRUE(recorder.values().empty());
    EXPECT_FALSE(monitor_.IsNetAvailable());  // kept after the stop
}

// The re-check after 10 s finds the server gone: one signal, on the
// monitor thread, with the new answer.
TEST_F(NetworkMonitor, ChangeFoundByRecheckIsReportedOnce) {
    ProbeServer server;
    monitor_.SetCheckUrl(server.Url().c_str());
    Recorder recorder;
    monitor_.Init();
    monitor_.Connect(recorder.Slot());
    ASSERT_TRUE(server.TakeCheck());  // the first answer: available
    server.Close();
    ASSERT_TRUE(recorder.WaitCalls(1, kRecheckDeadline));
    EXPECT_FALSE(monitor_.IsNetAvailable());
    monitor_.UnInit();
    EXPECT_EQ(recorder.values(), std::vector<bool>{false});
    EXPECT_NE(recorder.threads().at(0), GetCurrentThreadId());
}

// An address added to an interface wakes the monitor, which reports its
// answer although it has not changed.
TEST_F(NetworkMonitor, AddressChangeIsReportedEvenWhenUnchanged) {
    std::string why;
    if (!vxtest::EnterPrivateNetwork(&why))
        GTEST_SKIP() << "address changes need a private network namespace: " << why;
    ProbeServer server;
    monitor_.SetCheckUrl(server.Url().c_str());
    Recorder recorder;
    monitor_.Init();
    monitor_.Connect(recorder.Slot());
    ASSERT_TRUE(server.TakeCheck());
    // The thread arms its notification just after the first check: change
    // addresses until one change has been seen.
    const std::string device = std::string(" dev ") + vxtest::kTestInterface;
    bool added = false;
    const bool reported = vxtest::WaitUntil([&] {
        added = !added;
        vxtest::RunIp((added ? "addr add" : "addr del") + std::string(" 10.77.0.1/24") + device);
        return recorder.WaitCalls(1, milliseconds(500));
    });
    ASSERT_TRUE(reported);
    EXPECT_EQ(recorder.values().at(0), true);
    EXPECT_TRUE(monitor_.IsNetAvailable());
}

// The probe server's accept queue is full, so the check's connection attempt
// hangs; UnInit still returns within the stop bound.
TEST_F(NetworkMonitor, UnInitIsBoundedWhileCheckHangs) {
    ProbeServer server(0);
    const SOCKET queued = vxtest::ConnectTo(server.port());  // fills a queue of length 0
    monitor_.SetCheckUrl(server.Url().c_str());
    monitor_.Init();
    const auto start = std::chrono::steady_clock::now();
    monitor_.UnInit();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(10));  // bound 3 s, with a wide margin
    closesocket(queued);
    // A new run starts normally after a forced stop.
    monitor_.SetCheckUrl(UnusedUrl().c_str());
    monitor_.Init();
    EXPECT_TRUE(vxtest::WaitUntil([&] { return !monitor_.IsNetAvailable(); }));
}

// Slots connected before an UnInit are gone after it; the untyped Connect
// works like the typed one.
TEST_F(NetworkMonitor, InitAfterUnInitStartsWithNoSlots) {
    ProbeServer server;
    monitor_.SetCheckUrl(server.Url().c_str());
    Recorder before, after;
    monitor_.Init();
    monitor_.Connect(before.Slot());
    ASSERT_TRUE(server.TakeCheck());
    monitor_.UnInit();

    monitor_.Init();
    const CNetworkMonitorWrapper::NetworkSlot slot = after.Slot();
    monitor_.Connect(static_cast<const void*>(&slot));
    ASSERT_TRUE(server.TakeCheck());
    server.Close();
    ASSERT_TRUE(after.WaitCalls(1, kRecheckDeadline));
    monitor_.UnInit();
    EXPECT_EQ(after.values(), std::vector<bool>{false});
    EXPECT_TRUE(before.values().empty());
}

TEST_F(NetworkMonitor, BadInputIsHarmless) {
    Recorder early, late;
    monitor_.UnInit();               // without Init
    monitor_.Connect(early.Slot());  // before Init: ignored
    monitor_.Connect(nullptr);       // no slot
    monitor_.Init();
    monitor_.UnInit();
    monitor_.UnInit();              // a second time
    monitor_.Connect(late.Slot());  // after UnInit: ignored
    monitor_.Init();                // and a later run still works
    EXPECT_TRUE(vxtest::WaitUntil([&] { return !monitor_.IsNetAvailable(); }));
    monitor_.UnInit();
    EXPECT_TRUE(early.values().empty());
    EXPECT_TRUE(late.values().empty());
}

}  // namespace
