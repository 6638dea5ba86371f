// One synchronous GET, then the same request made asynchronous through the
// factory, whose notices arrive on the window thread.
//   http URL      (for example http://127.0.0.1:8080/)
#include <cstdio>
#include <string>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/HttpFactory.h"
#include "VexloTool/ThreadPool.h"
#include "vxplatform.h"

using namespace VexloTool;

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string narrow = argv[1];
    const std::wstring url(narrow.begin(), narrow.end());

    // Synchronous, on this thread.
    CHttpClient client;
    client.SetAgent(L"Example/1.0");
    if (!client.Request(eHttpGet, url.c_str())) {
        std::printf("failed: error %lu\n", client.GetErrorCode());
        return 1;
    }
    std::printf("status %lu\n", client.GetStatusCode());

    // Asynchronous: needs the window thread and the pool.
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"HttpExample";
    RegisterClassExW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    CFuncDispatch::Instance().Init(hwnd);
    CThreadPool::Instance().Init(0);

    size_t received = 0;
    unsigned long result = 1;
    CHttpClient* request = CHttpFactory::Instance().CreateWebRequest();
    request->SetRecvCallbck([&](unsigned long, unsigned long, const char*, unsigned int length) {
        received += length;  // a chunk of at most 8192 bytes; 0 ends the body
    });
    request->Request(eHttpGet, url.c_str(), [&](unsigned long error, unsigned long status) {
        result = error;  // once, at the end, on the window thread
        std::printf("async: error %lu, status %lu, %zu bytes\n", error, status, received);
        PostQuitMessage(0);
    });

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);

    CHttpFactory::Instance().ReleaseWebRequest(request);  // never delete it
    CHttpFactory::Instance().UnInit();                    // before the pool and dispatcher
    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    DestroyWindow(hwnd);
    return result == 0 ? 0 : 1;
}
