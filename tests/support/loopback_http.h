// loopback_http.h: a scripted HTTP peer on 127.0.0.1 (an ephemeral port)
// for tests: each connection runs the test's handler on a thread of its
// own, which reads requests and sends whatever bytes the case needs (a
// body cut short, a stall, a reset), on Linux and under Wine alike.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vxtest {

struct HttpRequestSeen {
    std::string head;  // request line and headers, up to the blank line
    std::string body;  // as many bytes as its Content-Length announced
    std::string Header(const std::string& name) const;  // "" when absent
    std::string Line() const { return head.substr(0, head.find("\r\n")); }
};

class LoopbackHttpServer;

class LoopbackConnection {
public:
    LoopbackConnection(uintptr_t socket, LoopbackHttpServer& server);
    ~LoopbackConnection();

    // False when the peer closed or the server is stopping. `beforeBody`
    // runs once the head has arrived, before any of the body is read.
    bool ReadRequest(HttpRequestSeen& request, const std::function<void()>& beforeBody = {});
    bool Send(const std::string& bytes);
    // Waits (without reading) until the server stops or the peer closes.
    void Stall();
    // Ends the connection with a reset instead of an orderly close.
    void Reset();
    // Keeps a request for the test to inspect.
    void Record(const HttpRequestSeen& request);

private:
    bool Fill();
    uintptr_t socket_;
    LoopbackHttpServer& server_;
    std::string pending_;
};

class LoopbackHttpServer {
public:
    typedef std::function<void(LoopbackConnection&)> Handler;
    explicit LoopbackHttpServer(Handler handler);
    // Stops accepting, ends stalled handlers and joins every thread.
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    unsigned short port() const { return port_; }
    std::wstring Url(const std::string& path) const;
    std::vector<HttpRequestSeen> Requests() const;
    int Connections() const { return connections_; }
    // For handlers: records a request the tests can inspect.
    void Record(const HttpRequestSeen& request);

    // A handler answering every request on a connection with `response`
    // (keep-alive), recording each request.
    static Handler Respond(const std::string& response);
    bool stopping() const { return stopping_; }

private:
    void AcceptLoop();

    Handler handler_;
    uintptr_t listener_;
    unsigned short port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> workers_;
    std::vector<HttpRequestSeen> requests_;
};

// "HTTP/1.1 <status>\r\nContent-Length: n\r\n<extra>\r\n<body>"
std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders = "");

}  // namespace vxtest
