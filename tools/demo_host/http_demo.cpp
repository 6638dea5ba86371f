// http_demo.cpp: the demo host's HTTP part: through CHttpFactory it
// downloads a file and uploads one, both from loopback peers (nginx and the
// Python peer of tests/http/peers.sh, found through VX_HTTP_PEERS), with the
// progress of each shown on the window thread as it arrives.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "VexloTool/HttpFactory.h"
#include "vxplatform.h"

using namespace VexloTool;

namespace {

struct Peers {
    unsigned int nginx = 0, tls = 0, python = 0;
};

bool FindPeers(Peers& peers) {
    const char* dir = getenv("VX_HTTP_PEERS");
    if (!dir)
        return false;
    std::string path = std::string(dir) + "/ports";
#if defined(_WIN32)
    if (path[0] == '/')
        path = "Z:" + path;  // a Unix path, seen through Wine's drive Z:
#endif
    FILE* file = fopen(path.c_str(), "r");
    if (!file)
        return false;
    const bool found = fscanf(file, "nginx=%u nginx_tls=%u python=%u", &peers.nginx, &peers.tls,
                              &peers.python) == 3;
    fclose(file);
    return found;
}

std::wstring Url(unsigned int port, const char* path) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    return std::wstring(url.begin(), url.end());
}

// Dispatches window messages until `done` holds or 20 s have passed.
bool PumpUntil(const bool& done) {
    const DWORD start = GetTickCount();
    while (!done && GetTickCount() - start < 20000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    return done;
}

}  // namespace

bool RunHttpDemo() {
    Peers peers;
    if (!FindPeers(peers)) {
        std::printf("http: no loopback peers (scripts/demo.sh starts them), skipped\n");
        return true;
    }
    const DWORD uiThread = GetCurrentThreadId();
    bool onUiThread = true;
    CHttpFactory& factory = CHttpFactory::Instance();
    factory.Init();

    CHttpClient* download = factory.CreateWebRequest();
    unsigned long received = 0, downloadError = 1, downloadStatus = 0;
    bool downloaded = false;
    download->SetRecvCallbck([&](unsigned long, unsigned long, const char*, unsigned int length) {
        onUiThread = onUiThread && GetCurrentThreadId() == uiThread;
        if ((received + length) / 262144 != received / 262144 || length == 0)
            std::printf("http: downloaded %lu KiB\n", (received + length) / 1024);
        received += length;
    });
    download->Request(eHttpGet, Url(peers.nginx, "/1m.bin").c_str(),
                      [&](unsigned long error, unsigned long status) {
                          downloadError = error;
                          downloadStatus = status;
                          downloaded = true;
                      });

    const std::string path = "vx_demo_upload.bin";
    std::ofstream(path, std::ios::binary) << std::string(40000, 'u');
    CHttpClient* upload = factory.CreateWebRequest();
    unsigned long uploadError = 1, uploadStatus = 0;
    bool uploaded = false;
    upload->SetPostFile(L"file", L"demo.bin", std::wstring(path.begin(), path.end()).c_str(),
                        L"application/octet-stream");
    upload->SetPostCallbck([&](unsigned long, unsigned long, unsigned long sent) {
        onUiThread = onUiThread && GetCurrentThreadId() == uiThread;
        std::printf("http: uploaded %lu of 40000 bytes\n", sent);
    });
    upload->Request(eHttpUpload, Url(peers.python, "/upload").c_str(),
                    [&](unsigned long error, unsigned long status) {
                        uploadError = error;
                        uploadStatus = status;
                        uploaded = true;
                    });

    const bool bothDone = PumpUntil(downloaded) && PumpUntil(uploaded);
    factory.ReleaseWebRequest(download);
    factory.ReleaseWebRequest(upload);
    factory.UnInit();
    std::remove(path.c_str());
    const bool ok = bothDone && onUiThread && downloadError == 0 && downloadStatus == 200 &&
                    received == 1u << 20 && uploadError == 0 && uploadStatus == 200;
    std::printf("http: download %lu bytes (status %lu), upload status %lu: %s\n", received,
                downloadStatus, uploadStatus, ok ? "ok" : "FAILED");
    return ok;
}
