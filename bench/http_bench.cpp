// http_bench.cpp: CHttpClient and CHttpFactory against plain libcurl (easy
// interface), both talking to the same nginx on loopback, started here:
// a 256 MiB download (direct, and with a receive slot delivering chunks to
// the window thread), 10,000 small GETs on one keep-alive connection, and
// 1,000 factory requests in flight at once.
//   http_bench            (run it inside scripts/offline.sh)

// libcurl brings the system socket headers.
#define VXP_NO_WINSOCK
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "VexloTool/FuncDispatch.h"
#include "VexloTool/HttpClient.h"
#include "VexloTool/HttpFactory.h"
#include "VexloTool/ThreadPool.h"
#include "bench_timing.h"

using namespace VexloTool;

namespace {

const std::string kSourceDir =
    std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/bench/"));
const std::string kPeerDir = "/tmp/vx-http-bench-peers";
constexpr int kSmallGets = 10000;
constexpr int kInFlight = 1000;

unsigned short g_port = 0;

std::string Url(const char* path) {
    return "http://127.0.0.1:" + std::to_string(g_port) + path;
}
std::wstring WideUrl(const char* path) {
    const std::string url = Url(path);
    return std::wstring(url.begin(), url.end());
}

// Peak resident memory of this process so far, in MiB.
double PeakMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

class Window {
public:
    Window() {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"vx_http_bench";
        RegisterClassExW(&wc);
        hwnd_ = CreateWindowExW(0, L"vx_http_bench", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    }
    ~Window() { DestroyWindow(hwnd_); }
    HWND hwnd() const { return hwnd_; }

private:
    HWND hwnd_;
};

// Dispatches window messages until the flag is set.
void PumpUntil(const std::atomic<bool>& done) {
    MSG msg;
    while (!done && GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
}

size_t CountBytes(char*, size_t size, size_t count, void* total) {
    *static_cast<size_t*>(total) += size * count;
    return size * count;
}

double CurlDownload(const char* path, size_t& bytes) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, Url(path).c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CountBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    const double seconds = vxbench::BestSeconds(
        [&] {
            bytes = 0;
            curl_easy_perform(curl);
        },
        3);
    curl_easy_cleanup(curl);
    return seconds;
}

double CurlSmallGets() {
    CURL* curl = curl_easy_init();
    size_t bytes = 0;
    curl_easy_setopt(curl, CURLOPT_URL, Url("/small.txt").c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CountBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
    const double seconds = vxbench::BestSeconds(
        [&] {
            for (int i = 0; i < kSmallGets; ++i)
                curl_easy_perform(curl);
        },
        2);
    curl_easy_cleanup(curl);
    return seconds;
}

class Direct : public CHttpClient {
public:
    size_t Received() const {
        unsigned int size = 0;
        GetRspContent(size);
        return size;
    }
};

double OursDirectDownload(size_t& bytes) {
    return vxbench::BestSeconds(
        [&] {
            Direct client;
            client.Request(eHttpGet, WideUrl("/big.bin").c_str());
            bytes = client.Received();
        },
        3);
}

// The run on a worker thread, each chunk delivered to this (window) thread.
double OursSlotDownload(size_t& bytes) {
    return vxbench::BestSeconds(
        [&] {
            CHttpClient client;
            std::atomic<bool> done{false};
            size_t received = 0;
            client.SetRecvCallbck([&](unsigned long, unsigned long, const char*,
                                      unsigned int length) { received += length; });
            std::thread run([&] {
                client.Request(eHttpGet, WideUrl("/big.bin").c_str(),
                               [&](unsigned long, unsigned long) { done = true; });
            });
            PumpUntil(done);
            run.join();
            bytes = received;
        },
        3);
}

double OursSmallGets() {
    return vxbench::BestSeconds(
        [] {
            CHttpClient client;
            const std::wstring url = WideUrl("/small.txt");
            for (int i = 0; i < kSmallGets; ++i)
                client.Request(eHttpGet, url.c_str());
        },
        2);
}

void FactoryInFlight() {
    CHttpFactory& factory = CHttpFactory::Instance();
    factory.Init();
    std::vector<CHttpClient*> requests;
    std::atomic<bool> done{false};
    int completed = 0, failed = 0;
    const auto start = vxbench::Clock::now();
    for (int i = 0; i < kInFlight; ++i) {
        CHttpClient* request = factory.CreateWebRequest();
        requests.push_back(request);
        request->Request(eHttpGet, WideUrl("/small.txt").c_str(),
                         [&](unsigned long error, unsigned long) {
                             failed += error != 0;
                             if (++completed == kInFlight)
                                 done = true;
                         });
    }
    PumpUntil(done);
    const double seconds = std::chrono::duration<double>(vxbench::Clock::now() - start).count();
    for (CHttpClient* request : requests)
        factory.ReleaseWebRequest(request);
    std::printf("%-40s %d of %d completions (%d failed), %.0f requests/s\n",
                "factory, 1000 requests in flight", completed, kInFlight, failed,
                kInFlight / seconds);
}

void Compare(const char* what, double oursPerSecond, double peerPerSecond, const char* unit) {
    std::printf("%-40s ours %9.1f %s   libcurl %9.1f %s   ratio %.2f\n", what, oursPerSecond, unit,
                peerPerSecond, unit, oursPerSecond / peerPerSecond);
}

}  // namespace

int main() {
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
        unsetenv(name);
    const std::string start =
        "bash " + kSourceDir + "/tests/http/peers.sh start " + kPeerDir + " >/dev/null";
    if (std::system(start.c_str()) != 0) {
        std::fprintf(stderr, "http_bench: could not start nginx\n");
        return 1;
    }
    std::ifstream ports(kPeerDir + "/ports");
    std::string first;
    ports >> first;
    g_port = static_cast<unsigned short>(std::stoi(first.substr(first.find('=') + 1)));
    curl_global_init(CURL_GLOBAL_DEFAULT);

    Window window;
    CFuncDispatch::Instance().Init(window.hwnd());
    CThreadPool::Instance().Init(0);

    const double base = PeakMiB();
    size_t slotBytes = 0, directBytes = 0, curlBytes = 0;
    const double slot = OursSlotDownload(slotBytes);
    const double slotPeak = PeakMiB();
    const double direct = OursDirectDownload(directBytes);
    const double curl = CurlDownload("/big.bin", curlBytes);
    const double mib = 256.0;
    std::printf("256 MiB download (bytes: slot %zu, direct %zu, libcurl %zu)\n", slotBytes,
                directBytes, curlBytes);
    Compare("  direct Request, no receive slot", mib / direct, mib / curl, "MiB/s");
    Compare("  receive slot, chunks to window thread", mib / slot, mib / curl, "MiB/s");
    std::printf("  peak memory with a receive slot: %.1f MiB (%.1f MiB before)\n", slotPeak, base);

    const double ours = OursSmallGets();
    const double peer = CurlSmallGets();
    Compare("10,000 small GETs, one connection", kSmallGets / ours, kSmallGets / peer, "req/s");

    FactoryInFlight();

    CThreadPool::Instance().Stop();
    CThreadPool::Instance().UnInit();
    CFuncDispatch::Instance().UnInit();
    std::system(("bash " + kSourceDir + "/tests/http/peers.sh stop " + kPeerDir).c_str());
    return 0;
}
