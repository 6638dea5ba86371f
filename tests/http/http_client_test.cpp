// CHttpClient: the object (defaults, headers, copy, Reset), parsing of the
// response header block, and GETs against nginx and scripted peers.
#include "http/http_fixture.h"

using namespace VexloTool;
using vxtest::ClientProbe;
using vxtest::HttpPeers;
using vxtest::HttpResponse;
using vxtest::LoopbackHttpServer;
using vxtest::Notices;

namespace {

TEST(HttpClientObject, StartsEmptyWithTheDefaultBoundary) {
    CHttpClient client;
    EXPECT_EQ(client.GetStatusCode(), 0u);
    EXPECT_EQ(client.GetErrorCode(), 0u);
    EXPECT_EQ(client.GetContentLength(), 0u);
    EXPECT_EQ(client.GetHeaderCount(), 0);
    EXPECT_EQ(client.GetRspHeaderCount(), 0);
    EXPECT_STREQ(client.GetAgent(), L"");
    EXPECT_STREQ(client.GetReferer(), L"");
    EXPECT_STREQ(client.GetBoundaryName(), L"--264EE08E-038B-4285-BC94-9C60CD4500B8");
}

TEST(HttpClientObject, HeadersSettersAndReset) {
    CHttpClient client;
    client.AddHeader(L"X-A", L"1", 7);
    client.AddHeader(L"X-A", nullptr, 0);
    ASSERT_EQ(client.GetHeaderCount(), 2);
    EXPECT_STREQ(client.GetHeader(0).value, L"1");
    EXPECT_STREQ(client.GetHeader(1).value, L"");
    EXPECT_EQ(client.GetHeader(1).modifiers, 0xA0000000u);
    for (int outside : {-1, 2, 1000}) {
        const tagHttpHeader none = client.GetHeader(outside);
        EXPECT_EQ(none.name, nullptr);
        EXPECT_EQ(none.value, nullptr);
        EXPECT_EQ(client.GetRspHeader(outside).name, nullptr);
    }
    client.SetAgent(nullptr);
    EXPECT_STREQ(client.GetAgent(), L"");
    client.SetAgent(L"agent");
    client.SetBoundaryName(L"custom");
    client.Reset();
    EXPECT_STREQ(client.GetAgent(), L"");
    EXPECT_STREQ(client.GetBoundaryName(), L"custom");
    EXPECT_EQ(client.GetHeaderCount(), 0);
}

TEST(HttpClientParse, SplitsTheHeaderBlockAsSpecified) {
    ClientProbe client;
    client.SetRawHeader(
        L"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-Time: 12: 30\r\nX-Empty: \r\n"
        L"Content-Length: 5\r\n\r\n");
    client.ParseHeader();
    ASSERT_EQ(client.GetRspHeaderCount(), 2);
    EXPECT_STREQ(client.GetRspHeader(0).name, L"Content-Type");
    EXPECT_STREQ(client.GetRspHeader(0).value, L"text/plain");
    EXPECT_STREQ(client.GetRspHeader(1).name, L"Content-Length");
    EXPECT_STREQ(client.GetRspHeader(1).value, L"5");
    const std::wstring raw = client.GetRspHeader();
    EXPECT_EQ(raw.back(), L'5');
}

class HttpGet : public vxtest::HttpTest {};

TEST_F(HttpGet, DownloadsFromNginxWithStatusLengthAndHeaders) {
    const HttpPeers& peers = HttpPeers::Get();
    ASSERT_NE(peers.nginx, 0) << "the nginx fixture did not start";
    ClientProbe client;
    struct Case {
        const char* path;
        unsigned long status;
        std::string body;
    } cases[] = {{"/small.txt", 200, "hello from nginx\n"},
                 {"/missing", 404, "missing"},
                 {"/fail", 500, "fail"}};
    for (const Case& c : cases) {
        EXPECT_EQ(client.Request(eHttpGet, HttpPeers::Url(peers.nginx, c.path).c_str()), 1)
            << c.path;
        EXPECT_EQ(client.GetErrorCode(), 0u);
        EXPECT_EQ(client.GetStatusCode(), c.status);
        EXPECT_EQ(client.GetContentLength(), c.body.size());
        EXPECT_EQ(client.Content(), c.body);
        EXPECT_GT(client.GetRspHeaderCount(), 2);
    }
    EXPECT_EQ(client.Request(eHttpGet, HttpPeers::Url(peers.nginx, "/1m.bin").c_str()), 1);
    EXPECT_EQ(client.Content().size(), 1u << 20);
}

TEST_F(HttpGet, ReadsHeaderBlocksOfAnySize) {
    const HttpPeers& peers = HttpPeers::Get();
    ASSERT_NE(peers.nginx, 0);
    ClientProbe client;
    ASSERT_EQ(client.Request(eHttpGet, HttpPeers::Url(peers.nginx, "/bigheaders").c_str()), 1);
    EXPECT_EQ(client.Content(), "big");
    EXPECT_GT(wcslen(client.GetRspHeader()), 9000u);
    bool found = false;
    for (int i = 0; i < client.GetRspHeaderCount(); ++i)
        found = found || std::wstring(client.GetRspHeader(i).name) == L"X-Big-3";
    EXPECT_TRUE(found);
}

TEST_F(HttpGet, ReusesHandlesForTheSameUrlOnly) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "same")));
    ClientProbe client;
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/a?b=1").c_str()), 1);
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/A?b=1").c_str()), 1);  // case-blind: reused
    EXPECT_EQ(server.Connections(), 1);
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/other").c_str()), 1);
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Line(), "GET /a?b=1 HTTP/1.1");
    EXPECT_EQ(seen[1].Line(), "GET /a?b=1 HTTP/1.1");  // the reused request handle
    EXPECT_EQ(seen[2].Line(), "GET /other HTTP/1.1");
    EXPECT_TRUE(client.HasHandles());
    client.Close();
    EXPECT_FALSE(client.HasHandles());
}

TEST_F(HttpGet, SendsAddedHeadersAgentAndReferer) {
    const HttpPeers& peers = HttpPeers::Get();
    ASSERT_NE(peers.python, 0);
    ClientProbe client;
    client.SetAgent(L"vx-agent/1");
    client.SetReferer(L"http://127.0.0.1/from");
    client.AddHeader(L"X-Test", L"value one", 0);
    ASSERT_EQ(client.Request(eHttpGet, HttpPeers::Url(peers.python, "/echo").c_str()), 1);
    const std::string echoed = client.Content();
    EXPECT_NE(echoed.find("X-Test: value one\n"), std::string::npos) << echoed;
    EXPECT_NE(echoed.find("User-Agent: vx-agent/1\n"), std::string::npos) << echoed;
    EXPECT_NE(echoed.find("Referer: http://127.0.0.1/from\n"), std::string::npos) << echoed;

    ClientProbe plain;
    ASSERT_EQ(plain.Request(eHttpGet, HttpPeers::Url(peers.python, "/echo").c_str()), 1);
    EXPECT_EQ(plain.Content().find("X-Test"), std::string::npos);
}

TEST_F(HttpGet, ChunksAndCompletionReachTheWindowThreadInOrder) {
    const std::string body(20000, 'b');
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, body)));
    ClientProbe client;
    Notices notices;
    notices.Connect(client);
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/chunks").c_str(), notices.Completion()), 1);
    EXPECT_TRUE(notices.results.empty());  // delivered later, by the message loop
    ASSERT_TRUE(Pump([&] { return notices.results.size() == 1; }));
    EXPECT_EQ(notices.Body(), body);
    ASSERT_GE(notices.chunks.size(), 4u);
    for (const auto& chunk : notices.chunks) {
        EXPECT_LE(chunk.data.size(), 8192u);
        EXPECT_EQ(chunk.status, 200u);
    }
    EXPECT_EQ(notices.chunks.back().data.size(), 0u);
    EXPECT_EQ(notices.order.back(), 'c');
    EXPECT_EQ(notices.results[0], std::make_pair(0ul, 200ul));
    for (DWORD thread : notices.threads)
        EXPECT_EQ(thread, GetCurrentThreadId());
    EXPECT_EQ(client.Content().size(), 0u);

    // The completion slot serves one run.
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/chunks").c_str()), 1);
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(notices.results.size(), 1u);
}

TEST_F(HttpGet, ResetReleasesEverySlot) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "x")));
    CHttpClient client;
    Notices notices;
    notices.Connect(client);
    client.Reset();
    ASSERT_EQ(client.Request(eHttpGet, server.Url("/").c_str()), 1);
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(notices.order.empty());
}

TEST_F(HttpGet, CopiesStartWithoutHandlesAndShareSlots) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "copy")));
    ClientProbe source;
    Notices notices;
    notices.Connect(source);
    source.AddHeader(L"X-Copied", L"yes", 0);
    ASSERT_EQ(source.Request(eHttpGet, server.Url("/c").c_str()), 1);
    ASSERT_TRUE(source.HasHandles());
    {
        ClientProbe copy;
        static_cast<CHttpClient&>(copy) = source;
        EXPECT_FALSE(copy.HasHandles());
        EXPECT_EQ(copy.GetHeaderCount(), 1);
        EXPECT_EQ(copy.Request(eHttpGet, server.Url("/c").c_str()), 1);
    }  // the copy closes only its own handles
    EXPECT_EQ(source.Request(eHttpGet, server.Url("/c").c_str()), 1);
    ASSERT_TRUE(Pump([&] { return notices.Body() == "copycopycopy"; }));
}

TEST_F(HttpGet, NullUrlRaisesWithoutANotice) {
    CHttpClient client;
    Notices notices;
    try {
        client.Request(eHttpGet, nullptr, notices.Completion());
        FAIL() << "no exception";
    } catch (const CHResultException& error) {
        EXPECT_EQ(static_cast<HRESULT>(error), E_FAIL);
    }
    vxtest::PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(notices.results.empty());
}

}  // namespace
