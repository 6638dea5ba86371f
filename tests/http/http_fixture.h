// http_fixture.h: what the HTTP suite shares: a window thread running the
// dispatcher, a started thread pool, the peers of the fixture (nginx and the
// Python server), and a recorder of every notice an object sends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/HttpClient.h"
#include "VexloTool/HttpFactory.h"
#include "VexloTool/ThreadPool.h"
#include "platform/conformance.h"
#include "support/loopback_http.h"
#include "support/message_loop.h"

namespace vxtest {

// Ports of the peers started by tests/http/peers.sh; 0 when not started.
struct HttpPeers {
    unsigned short nginx = 0, nginxTls = 0, python = 0, pythonTls = 0;
    static const HttpPeers& Get();
    static std::wstring Url(unsigned short port, const std::string& path, bool tls = false);
};

// Every notice of one object, in arrival order, with the thread it ran on.
struct Notices {
    struct Chunk {
        unsigned long error, status;
        std::string data;
    };
    std::vector<Chunk> chunks;
    std::vector<unsigned long> progress;  // bytes written so far
    std::vector<std::pair<unsigned long, unsigned long>> results;
    std::vector<DWORD> threads;
    std::string order;  // 'r' chunk, 'p' progress, 'c' completion

    void Connect(VexloTool::CHttpClient& client);
    VexloTool::CHttpClient::RequestSlot Completion();
    std::string Body() const;
};

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Pumps the window thread until the condition holds (generous deadline).
    bool Pump(const std::function<bool()>& condition) { return PumpUntil(condition); }

    TestWindow window;
};

// Exposes the protected steps of the object to tests.
class ClientProbe : public VexloTool::CHttpClient {
public:
    using CHttpClient::GetRspContent;
    using CHttpClient::ParseHeader;
    void SetRawHeader(const std::wstring& text) { m_rawRspHeader = text; }
    bool HasHandles() const { return m_hRoot || m_hConnect || m_hRequest; }
    // Opens the root handle for `url` ahead of the run, with a short receive
    // time-out, so a stalled peer ends the run quickly.
    void OpenRootWithReceiveTimeout(const wchar_t* url, DWORD ms) {
        m_url = url;
        m_hRoot = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        InternetSetOptionW(m_hRoot, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
    }
    std::string Content() const {
        unsigned int size = 0;
        const char* data = GetRspContent(size);
        return std::string(data, size);
    }
};

}  // namespace vxtest
