// CHttpFactory: asynchronous runs on the pool, release and UnInit while runs
// are queued or blocked, and what Reset and copies do to the run hook.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "http/http_fixture.h"

using namespace VexloTool;
using vxtest::HttpPeers;
using vxtest::HttpRequestSeen;
using vxtest::HttpResponse;
using vxtest::LoopbackConnection;
using vxtest::LoopbackHttpServer;
using vxtest::Notices;

namespace {

class HttpFactoryTest : public vxtest::HttpTest {
protected:
    CHttpFactory& factory() { return CHttpFactory::Instance(); }
    // Occupies every pool worker until the returned event is set.
    void BlockPool(vxtest::Event& release) {
        for (int i = 0; i < 4; ++i)
            CThreadPool::Execute([&release] { release.WaitSet(); });
    }
    // Blocks the pool, then makes an object whose run waits in the queue.
    CHttpClient* QueueBlockedRun(vxtest::Event& release, const std::wstring& url,
                                 Notices& notices) {
        BlockPool(release);
        CHttpClient* request = factory().CreateWebRequest();
        EXPECT_EQ(request->Request(eHttpGet, url.c_str(), notices.Completion()), 1);
        return request;
    }
};

TEST_F(HttpFactoryTest, RequestReturnsAtOnceAndReportsOnTheWindowThread) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "async")));
    unsigned short refused;
    {
        LoopbackHttpServer gone(LoopbackHttpServer::Respond(""));
        refused = gone.port();
    }
    CHttpClient* ok = factory().CreateWebRequest();
    CHttpClient* failing = factory().CreateWebRequest();
    Notices okNotices, failNotices;
    okNotices.Connect(*ok);
    EXPECT_EQ(ok->Request(eHttpGet, server.Url("/").c_str(), okNotices.Completion()), 1);
    EXPECT_EQ(
        failing->Request(eHttpGet, HttpPeers::Url(refused, "/").c_str(), failNotices.Completion()),
        1);
    ASSERT_TRUE(
        Pump([&] { return okNotices.results.size() == 1 && failNotices.results.size() == 1; }));
    EXPECT_EQ(okNotices.results[0], std::make_pair(0ul, 200ul));
    EXPECT_EQ(okNotices.Body(), "async");
    EXPECT_EQ(failNotices.results[0].first, ERROR_INTERNET_CANNOT_CONNECT);
    for (DWORD thread : okNotices.threads)
        EXPECT_EQ(thread, GetCurrentThreadId());
    factory().ReleaseWebRequest(ok);
    factory().ReleaseWebRequest(failing);
    factory().ReleaseWebRequest(nullptr);
}

TEST_F(HttpFactoryTest, ReleasingAQueuedRunSkipsIt) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "")));
    vxtest::Event release;
    Notices notices;
    factory().ReleaseWebRequest(QueueBlockedRun(release, server.Url("/"), notices));
    release.Set();
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(notices.results.empty());
    EXPECT_TRUE(server.Requests().empty());
}

// A queued run belongs to its object, not to its address: a new object
// the heap places where a released one was must not run the old one's run.
TEST_F(HttpFactoryTest, AReleasedObjectsQueuedRunNeverRunsTheObjectAtItsAddress) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "")));
    vxtest::Event release;
    Notices releasedNotices;
    CHttpClient* released = QueueBlockedRun(release, server.Url("/released"), releasedNotices);
    factory().ReleaseWebRequest(released);
    std::vector<CHttpClient*> others;
    CHttpClient* successor = nullptr;
    for (int i = 0; i < 64 && !successor; ++i) {
        CHttpClient* candidate = factory().CreateWebRequest();
        if (candidate == released)
            successor = candidate;
        else
            others.push_back(candidate);
    }
    for (CHttpClient* other : others)
        factory().ReleaseWebRequest(other);
    if (!successor) {
        release.Set();
        GTEST_SKIP() << "the heap did not reuse the released object's address";
    }
    Notices notices;
    EXPECT_EQ(successor->Request(eHttpGet, server.Url("/successor").c_str(), notices.Completion()),
              1);
    release.Set();
    ASSERT_TRUE(Pump([&] { return notices.results.size() == 1; }));
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(notices.results.size(), 1u);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(releasedNotices.results.empty());
    factory().ReleaseWebRequest(successor);
}

TEST_F(HttpFactoryTest, ReleasingABlockedRunWaitsForItsFailure) {
    if (vxtest::RunningUnderWine())
        GTEST_SKIP() << "Deviation (Wine): a call blocked on a closed handle waits for the peer";
    vxtest::Event headSent;
    LoopbackHttpServer stall([&](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request) &&
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nabc")) {
            headSent.Set();
            connection.Stall();
        }
    });
    CHttpClient* request = factory().CreateWebRequest();
    Notices notices;
    EXPECT_EQ(request->Request(eHttpGet, stall.Url("/").c_str(), notices.Completion()), 1);
    ASSERT_TRUE(headSent.WaitSet());
    factory().ReleaseWebRequest(request);  // returns once the run has failed
    ASSERT_TRUE(Pump([&] { return notices.results.size() == 1; }));
    EXPECT_NE(notices.results[0].first, 0u);
}

TEST_F(HttpFactoryTest, UnInitFailsRunsAndStopsQueuing) {
    if (vxtest::RunningUnderWine())
        GTEST_SKIP() << "Deviation (Wine): a call blocked on a closed handle waits for the peer";
    vxtest::Event headSent;
    LoopbackHttpServer stall([&](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request) &&
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\na")) {
            headSent.Set();
            connection.Stall();
        }
    });
    CHttpClient* blocked = factory().CreateWebRequest();
    CHttpClient* later = factory().CreateWebRequest();
    Notices blockedNotices, laterNotices;
    blocked->Request(eHttpGet, stall.Url("/").c_str(), blockedNotices.Completion());
    ASSERT_TRUE(headSent.WaitSet());
    factory().UnInit();
    ASSERT_TRUE(Pump([&] { return blockedNotices.results.size() == 1; }));
    EXPECT_NE(blockedNotices.results[0].first, 0u);
    EXPECT_EQ(later->Request(eHttpGet, stall.Url("/").c_str(), laterNotices.Completion()), 1);
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(laterNotices.results.empty());
    EXPECT_EQ(stall.Requests().size(), 0u);  // the stalled handler never recorded
    factory().ReleaseWebRequest(blocked);
    factory().ReleaseWebRequest(later);
}

TEST_F(HttpFactoryTest, ResetAndCopiesRunSynchronously) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "sync")));
    CHttpClient* request = factory().CreateWebRequest();
    {
        CHttpClient copy(*request);
        EXPECT_EQ(copy.Request(eHttpGet, server.Url("/copy").c_str()), 1);
        EXPECT_EQ(copy.GetStatusCode(), 200u);  // ran here, before returning
    }
    request->Reset();
    EXPECT_EQ(request->Request(eHttpGet, server.Url("/reset").c_str()), 1);
    EXPECT_EQ(request->GetStatusCode(), 200u);
    factory().ReleaseWebRequest(request);
}

TEST_F(HttpFactoryTest, ReleasesRacingQueuedRunsAreSafe) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "r")));
    std::atomic<int> completions{0};
    for (int i = 0; i < 40; ++i) {
        CHttpClient* request = factory().CreateWebRequest();
        request->Request(eHttpGet, server.Url("/race").c_str(),
                         [&](unsigned long, unsigned long) { ++completions; });
        if (i % 3)
            Sleep(1);
        factory().ReleaseWebRequest(request);
    }
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_LE(completions.load(), 40);
}

// A slot capture that dies with the object it was given to: on its way
// out it has another thread use the factory. Released under the registry
// lock, that thread would wait until the release returned.
TEST_F(HttpFactoryTest, ReleasedObjectsSlotsDieOutsideTheRegistryLock) {
    struct Witness {
        CHttpFactory* factory;
        std::atomic<bool>* reached;
        std::unique_ptr<vxtest::TestThread>* user;
        ~Witness() {
            auto entered = std::make_shared<vxtest::Event>();
            CHttpFactory* f = factory;
            user->reset(new vxtest::TestThread([f, entered] {
                f->ReleaseWebRequest(f->CreateWebRequest());
                entered->Set();
                return 0u;
            }));
            *reached = entered->WaitSet(3000);
        }
    };
    std::atomic<bool> reached{false};
    std::unique_ptr<vxtest::TestThread> user;
    CHttpClient* request = factory().CreateWebRequest();
    std::shared_ptr<Witness> witness(new Witness{&factory(), &reached, &user});
    request->SetRecvCallbck([witness](unsigned long, unsigned long, const char*, unsigned int) {});
    witness.reset();
    factory().ReleaseWebRequest(request);
    ASSERT_TRUE(user && user->Join());
    EXPECT_TRUE(reached) << "the capture died under the registry lock";
}

}  // namespace
