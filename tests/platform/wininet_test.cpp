// Conformance tests of the WinINet subset: URL cracking, handles, request
// headers, sending (whole and streamed), queries, reading, closing from
// another thread, options, and the error codes of failed exchanges; all
// against scripted peers on loopback.
#include <cstdlib>
#include <memory>
#include <cstring>
#include <string>

#include "platform/conformance.h"
#include "support/loopback_http.h"

namespace {

using vxtest::HttpRequestSeen;
using vxtest::HttpResponse;
using vxtest::LoopbackConnection;
using vxtest::LoopbackHttpServer;

void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// Proxies come from the environment: these tests talk to loopback only.
class WinInet : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"})
            SetEnv(name, nullptr);
        root_ = InternetOpenW(L"vx-test", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        ASSERT_NE(root_, nullptr);
    }
    void TearDown() override {
        if (root_)
            InternetCloseHandle(root_);
    }

    // Opens connection and request handles for a path of the server.
    HINTERNET Open(const LoopbackHttpServer& server, const wchar_t* verb, const wchar_t* path,
                   DWORD flags = INTERNET_FLAG_RELOAD) {
        connect_ = InternetConnectW(root_, L"127.0.0.1", server.port(), nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, 0);
        EXPECT_NE(connect_, nullptr);
        LPCWSTR accept[] = {L"*/*", nullptr};
        HINTERNET request =
            HttpOpenRequestW(connect_, verb, path, L"HTTP/1.1", nullptr, accept, flags, 0);
        EXPECT_NE(request, nullptr);
        return request;
    }

    static std::string ReadAll(HINTERNET request, DWORD& error) {
        std::string body;
        char buffer[8192];
        error = 0;
        for (;;) {
            DWORD read = 0;
            if (!InternetReadFile(request, buffer, sizeof buffer, &read)) {
                error = GetLastError();
                return body;
            }
            if (read == 0)
                return body;
            body.append(buffer, read);
        }
    }

    static std::wstring RawHeaders(HINTERNET request) {
        DWORD size = 0;
        HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr);
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (!HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, &text[0], &size, nullptr))
            return std::wstring();
        text.resize(size / sizeof(wchar_t));
        return text;
    }

    HINTERNET root_ = nullptr;
    HINTERNET connect_ = nullptr;
};

TEST(WinInetCrackUrl, SplitsComponentsIntoCallerBuffers) {
    struct Case {
        const wchar_t* url;
        const wchar_t* scheme;
        INTERNET_SCHEME number;
        const wchar_t* host;
        INTERNET_PORT port;
        const wchar_t* path;
        const wchar_t* extra;
    } cases[] = {
        {L"http://example.test/a?b=1", L"http", INTERNET_SCHEME_HTTP, L"example.test", 80, L"/a",
         L"?b=1"},
        {L"https://example.test:8443/x/y", L"https", INTERNET_SCHEME_HTTPS, L"example.test", 8443,
         L"/x/y", L""},
        {L"https://example.test", L"https", INTERNET_SCHEME_HTTPS, L"example.test", 443, L"", L""},
        {L"HTTP://Example.test:81/p#frag", L"HTTP", INTERNET_SCHEME_HTTP, L"Example.test", 81,
         L"/p", L"#frag"},
        {L"http://u:pw@h.test/q?x#y", L"http", INTERNET_SCHEME_HTTP, L"h.test", 80, L"/q", L"?x#y"},
        {L"http://127.0.0.1:5/", L"http", INTERNET_SCHEME_HTTP, L"127.0.0.1", 5, L"/", L""},
    };
    for (const Case& c : cases) {
        wchar_t scheme[64], host[64], path[64], extra[64];
        URL_COMPONENTSW parts = {};
        parts.dwStructSize = sizeof parts;
        parts.lpszScheme = scheme;
        parts.dwSchemeLength = 64;
        parts.lpszHostName = host;
        parts.dwHostNameLength = 64;
        parts.lpszUrlPath = path;
        parts.dwUrlPathLength = 64;
        parts.lpszExtraInfo = extra;
        parts.dwExtraInfoLength = 64;
        ASSERT_TRUE(InternetCrackUrlW(c.url, 0, 0, &parts)) << GetLastError();
        EXPECT_STREQ(scheme, c.scheme);
        EXPECT_EQ(parts.nScheme, c.number);
        EXPECT_STREQ(host, c.host);
        EXPECT_EQ(parts.nPort, c.port);
        EXPECT_STREQ(path, c.path);
        EXPECT_STREQ(extra, c.extra);
        EXPECT_EQ(parts.dwUrlPathLength, wcslen(c.path));
    }
}

TEST(WinInetCrackUrl, ReportsTooSmallBuffersAndMissingSchemes) {
    wchar_t host[4];
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 4;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(InternetCrackUrlW(L"http://longhost.test/", 0, 0, &parts));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    URL_COMPONENTSW plain = {};
    plain.dwStructSize = sizeof plain;
    plain.dwHostNameLength = 1;  // a pointer into the URL, no copy
    ASSERT_TRUE(InternetCrackUrlW(L"http://h.test:9/", 0, 0, &plain));
    EXPECT_EQ(std::wstring(plain.lpszHostName, plain.dwHostNameLength), L"h.test");

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(InternetCrackUrlW(L"no-scheme-here", 0, 0, &plain));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
}

TEST_F(WinInet, HandlesCloseOnceAndAttemptConnectSucceeds) {
    EXPECT_EQ(InternetAttemptConnect(0), ERROR_SUCCESS);
    HINTERNET connect =
        InternetConnectW(root_, L"127.0.0.1", 1, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
    ASSERT_NE(connect, nullptr);
    EXPECT_TRUE(InternetCloseHandle(connect));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(InternetCloseHandle(connect));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(WinInet, ConnectedStateAndSecurityFlagsOptions) {
    INTERNET_CONNECTED_INFO info = {0, 0};
    DWORD size = sizeof info;
    ASSERT_TRUE(InternetQueryOptionW(root_, INTERNET_OPTION_CONNECTED_STATE, &info, &size));
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, size == sizeof info,
                               "the connected state is returned as one DWORD");
    info.dwConnectedState = INTERNET_STATE_CONNECTED;
    EXPECT_TRUE(InternetSetOptionW(root_, INTERNET_OPTION_CONNECTED_STATE, &info, sizeof info));

    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "")));
    HINTERNET request = Open(server, L"GET", L"/", INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE);
    DWORD flags = 0;
    size = sizeof flags;
    ASSERT_TRUE(InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size));
    flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    ASSERT_TRUE(InternetSetOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags));
    DWORD again = 0;
    size = sizeof again;
    ASSERT_TRUE(InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &again, &size));
    EXPECT_EQ(again & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID),
              SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
}

TEST_F(WinInet, GetQueriesStatusLengthAndRawHeaders) {
    LoopbackHttpServer server(
        LoopbackHttpServer::Respond(HttpResponse(404, "hello", "X-Seen: yes\r\n")));
    HINTERNET request = Open(server, L"GET", L"/a?b=1");
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();

    DWORD status = 0, size = sizeof status;
    ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &status,
                               &size, nullptr));
    EXPECT_EQ(status, 404u);
    DWORD length = 0;
    size = sizeof length;
    ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &length,
                               &size, nullptr));
    EXPECT_EQ(length, 5u);

    wchar_t small[4];
    size = sizeof small;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, small, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const std::wstring raw = RawHeaders(request);
    EXPECT_GT(size, sizeof small);
    EXPECT_EQ(size, (raw.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(raw.compare(0, 13, L"HTTP/1.1 404 "), 0) << raw.c_str();
    EXPECT_NE(raw.find(L"\r\nX-Seen: yes\r\n"), std::wstring::npos);
    EXPECT_EQ(raw.substr(raw.size() - 4), L"\r\n\r\n");

    DWORD error = 0;
    EXPECT_EQ(ReadAll(request, error), "hello");
    EXPECT_EQ(error, 0u);
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Line(), "GET /a?b=1 HTTP/1.1");
    InternetCloseHandle(request);
}

TEST_F(WinInet, RequestHeadersAddReplaceAndTerminatedLines) {
    LoopbackHttpServer server(LoopbackHttpServer::Respond(HttpResponse(200, "")));
    HINTERNET request = Open(server, L"GET", L"/h");
    const DWORD addReplace = HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE;
    ASSERT_TRUE(
        HttpAddRequestHeadersW(request, L"X-One: 1\r\n", static_cast<DWORD>(-1), addReplace));
    ASSERT_TRUE(
        HttpAddRequestHeadersW(request, L"X-One: 2\r\n", static_cast<DWORD>(-1), addReplace));
    ASSERT_TRUE(HttpAddRequestHeadersW(request, L"X-Two: a\r\nX-Three: b\r\n",
                                       static_cast<DWORD>(-1), HTTP_ADDREQ_FLAG_ADD));
    // Replacing a header that is not there adds it.
    ASSERT_TRUE(HttpAddRequestHeadersW(request, L"X-Missing: 1\r\n", static_cast<DWORD>(-1),
                                       HTTP_ADDREQ_FLAG_REPLACE));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(HttpAddRequestHeadersW(request, L"X-Two: c\r\n", static_cast<DWORD>(-1),
                                        HTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_NE(GetLastError(), 0xdeadbeefu);
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
    DWORD error = 0;
    ReadAll(request, error);
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Header("X-One"), "2");
    EXPECT_EQ(seen[0].head.find("X-One: 1"), std::string::npos);
    EXPECT_EQ(seen[0].Header("X-Two"), "a");
    EXPECT_EQ(seen[0].Header("X-Three"), "b");
    EXPECT_EQ(seen[0].Header("X-Missing"), "1");
    InternetCloseHandle(request);
}

TEST_F(WinInet, ChunkedBodiesAndKeepAliveOnOneRoot) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n "
        "world\r\n0\r\n\r\n";
    LoopbackHttpServer server(LoopbackHttpServer::Respond(chunked));
    for (int i = 0; i < 3; ++i) {
        HINTERNET request = Open(server, L"GET", L"/k");
        ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
        DWORD error = 0;
        EXPECT_EQ(ReadAll(request, error), "hello world");
        EXPECT_EQ(error, 0u);
        InternetCloseHandle(request);
        InternetCloseHandle(connect_);
    }
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(WinInet, StreamedUploadSendsEachWriteAtOnce) {
    LoopbackHttpServer server([&](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (!connection.ReadRequest(request))  // reads the head and all 20 bytes
            return;
        connection.Record(request);
        connection.Send(HttpResponse(201, "done"));
    });
    HINTERNET request = Open(server, L"POST", L"/up");
    ASSERT_TRUE(HttpAddRequestHeadersW(request, L"Content-Length: 20\r\n", static_cast<DWORD>(-1),
                                       HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE));
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof buffers;
    ASSERT_TRUE(HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0)) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(InternetWriteFile(request, "0123456789", 10, &written));
    EXPECT_EQ(written, 10u);
    ASSERT_TRUE(InternetWriteFile(request, "abcdefghij", 10, &written));
    ASSERT_TRUE(HttpEndRequestW(request, nullptr, HSR_INITIATE, 0)) << GetLastError();
    DWORD status = 0, size = sizeof status;
    ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &status,
                               &size, nullptr));
    EXPECT_EQ(status, 201u);
    DWORD error = 0;
    EXPECT_EQ(ReadAll(request, error), "done");
    const auto seen = server.Requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].Line(), "POST /up HTTP/1.1");
    EXPECT_EQ(seen[0].Header("Content-Length"), "20");
    EXPECT_EQ(seen[0].body, "0123456789abcdefghij");
    InternetCloseHandle(request);
}

TEST_F(WinInet, ClosingFromAnotherThreadEndsABlockedRead) {
    if (vxtest::RunningUnderWine()) {
        // Wine's close waits for the blocked read, which waits for the peer.
        std::printf("[ DEVIATION] a read blocked on a closed handle waits for the peer\n");
        return;
    }
    auto peer = std::make_unique<LoopbackHttpServer>([](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request) &&
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npart"))
            connection.Stall();
    });
    HINTERNET request = Open(*peer, L"GET", L"/stall");
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
    char buffer[64];
    DWORD read = 0;
    ASSERT_TRUE(InternetReadFile(request, buffer, sizeof buffer, &read));
    vxtest::Event reading;
    DWORD error = 0;
    BOOL ok = TRUE;
    vxtest::TestThread reader([&] {
        reading.Set();
        ok = InternetReadFile(request, buffer, sizeof buffer, &read);
        error = GetLastError();
        return 0u;
    });
    ASSERT_TRUE(reading.WaitSet());
    Sleep(200);  // let the reader block in the call (either order must work)
    EXPECT_TRUE(InternetCloseHandle(request));
    ASSERT_TRUE(reader.Join());
    EXPECT_FALSE(ok);
    EXPECT_NE(error, 0u);
}

TEST_F(WinInet, FailedExchangesReportWinInetErrors) {
    LoopbackHttpServer cut([](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request))
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part");
    });
    LoopbackHttpServer reset([](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request) &&
            connection.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nx"))
            connection.Reset();
    });
    LoopbackHttpServer stall([](LoopbackConnection& connection) {
        HttpRequestSeen request;
        if (connection.ReadRequest(request))
            connection.Stall();
    });
    {
        HINTERNET request = Open(cut, L"GET", L"/cut");
        ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
        DWORD error = 0;
        EXPECT_EQ(ReadAll(request, error), "only part");
        VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, error == ERROR_INTERNET_CONNECTION_ABORTED,
                                   "a body cut short of its length ends as if complete");
        InternetCloseHandle(request);
    }
    {
        HINTERNET request = Open(reset, L"GET", L"/reset");
        ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
        DWORD error = 0;
        ReadAll(request, error);
        VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, error == ERROR_INTERNET_CONNECTION_RESET,
                                   "a reset mid-body ends as if complete");
        InternetCloseHandle(request);
    }
    {
        HINTERNET request = Open(stall, L"GET", L"/stall");
        DWORD timeout = 500;
        ASSERT_TRUE(
            InternetSetOptionW(request, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout));
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
        const DWORD error = GetLastError();
        VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, error == ERROR_INTERNET_TIMEOUT,
                                   "a receive time-out is reported as an aborted connection");
        InternetCloseHandle(request);
    }
    {
        // A port nobody listens on: the stall server's port after it closed.
        unsigned short port;
        {
            LoopbackHttpServer gone(LoopbackHttpServer::Respond(""));
            port = gone.port();
        }
        HINTERNET connect = InternetConnectW(root_, L"127.0.0.1", port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
        HINTERNET request =
            HttpOpenRequestW(connect, L"GET", L"/", nullptr, nullptr, nullptr, 0, 0);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
        InternetCloseHandle(request);
        InternetCloseHandle(connect);
    }
    {
        // Inside the tests' network namespace nothing leaves the machine.
        HINTERNET connect = InternetConnectW(root_, L"nonexistent.invalid", 80, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0);
        HINTERNET request =
            HttpOpenRequestW(connect, L"GET", L"/", nullptr, nullptr, nullptr, 0, 0);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_NAME_NOT_RESOLVED);
        InternetCloseHandle(request);
        InternetCloseHandle(connect);
    }
}

TEST_F(WinInet, ProxyComesFromTheEnvironment) {
    LoopbackHttpServer proxy(LoopbackHttpServer::Respond(HttpResponse(200, "via proxy")));
    const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
    SetEnv("http_proxy", address.c_str());
    HINTERNET root = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    SetEnv("http_proxy", nullptr);
    HINTERNET connect = InternetConnectW(root, L"origin.invalid", 80, nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET request = HttpOpenRequestW(connect, L"GET", L"/p", nullptr, nullptr, nullptr, 0, 0);
    const BOOL sent = HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    VX_EXPECT_UNLESS_DEVIATION(vxtest::Side::Wine, sent && proxy.Requests().size() == 1,
                               "the http_proxy variable is not read");
    if (sent && !proxy.Requests().empty()) {
        EXPECT_EQ(proxy.Requests()[0].Line(), "GET http://origin.invalid/p HTTP/1.1");
    }
    InternetCloseHandle(request);
    InternetCloseHandle(connect);
    InternetCloseHandle(root);
}

TEST(WinInetText, WideCharToMultiByteInTheThreadCodePage) {
    char out[16];
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, L"name.txt", 8, nullptr, 0, nullptr, nullptr),
              8);
    ASSERT_EQ(
        WideCharToMultiByte(CP_THREAD_ACP, 0, L"name.txt", -1, out, sizeof out, nullptr, nullptr),
        9);
    EXPECT_STREQ(out, "name.txt");
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"\u00e9", 1, out, sizeof out, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(out, 2), "\xc3\xa9");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, L"toolong", 7, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace
