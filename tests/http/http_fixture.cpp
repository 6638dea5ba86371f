// http_fixture.cpp: the shared pieces of the HTTP suite.
#include "http/http_fixture.h"

#include <cstdlib>

namespace vxtest {

const HttpPeers& HttpPeers::Get() {
    static const HttpPeers peers = [] {
        HttpPeers found;
        const char* dir = getenv("VX_HTTP_PEERS");
        if (!dir)
            return found;
        std::string path = std::string(dir) + "/ports";
#if defined(_WIN32)
        if (path[0] == '/')
            path = "Z:" + path;  // a Unix path, seen through Wine's drive Z:
#endif
        if (FILE* file = fopen(path.c_str(), "r")) {
            unsigned int plain = 0, tls = 0, python = 0, pythonTls = 0;
            if (fscanf(file, "nginx=%u nginx_tls=%u python=%u python_tls=%u", &plain, &tls, &python,
                       &pythonTls) == 4) {
                found.nginx = static_cast<unsigned short>(plain);
                found.nginxTls = static_cast<unsigned short>(tls);
                found.python = static_cast<unsigned short>(python);
                found.pythonTls = static_cast<unsigned short>(pythonTls);
            }
            fclose(file);
        }
        return found;
    }();
    return peers;
}

std::wstring HttpPeers::Url(unsigned short port, const std::string& path, bool tls) {
    const std::string url =
        std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + path;
    return std::wstring(url.begin(), url.end());
}

void Notices::Connect(VexloTool::CHttpClient& client) {
    client.SetRecvCallbck(
        [this](unsigned long error, unsigned long status, const char* data, unsigned int length) {
            chunks.push_back(Chunk{error, status, std::string(data ? data : "", length)});
            threads.push_back(GetCurrentThreadId());
            order += 'r';
        });
    client.SetPostCallbck([this](unsigned long, unsigned long, unsigned long sent) {
        progress.push_back(sent);
        threads.push_back(GetCurrentThreadId());
        order += 'p';
    });
}

VexloTool::CHttpClient::RequestSlot Notices::Completion() {
    return [this](unsigned long error, unsigned long status) {
        results.emplace_back(error, status);
        threads.push_back(GetCurrentThreadId());
        order += 'c';
    };
}

std::string Notices::Body() const {
    std::string body;
    for (const Chunk& chunk : chunks)
        body += chunk.data;
    return body;
}

void HttpTest::SetUp() {
    // Proxies come from the environment; these tests talk to loopback only.
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"}) {
#if defined(_WIN32)
        _putenv_s(name, "");
#else
        unsetenv(name);
#endif
    }
    VexloTool::CFuncDispatch::Instance().Init(window.hwnd());
    VexloTool::CThreadPool::Instance().Init(4);
    VexloTool::CHttpFactory::Instance().Init();
}

void HttpTest::TearDown() {
    VexloTool::CHttpFactory::Instance().UnInit();
    VexloTool::CThreadPool::Instance().Stop();
    VexloTool::CThreadPool::Instance().UnInit();
    PumpPending();
    VexloTool::CFuncDispatch::Instance().UnInit();
}

}  // namespace vxtest
