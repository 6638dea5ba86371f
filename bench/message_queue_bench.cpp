// message_queue_bench.cpp: cross-thread posting into the Linux layer's window
// message queue (PostMessageW, then GetMessageW and DispatchMessageW on the
// window's thread) against boost::asio::post into an io_context run on one
// thread, side by side, with one and with four posting threads.

// Boost.Asio brings the system socket headers.
#define VXP_NO_WINSOCK
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "vxplatform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kBenchMessage = WM_USER + 1;
long gHandled = 0;

LRESULT CALLBACK BenchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kBenchMessage) {
        gHandled += static_cast<long>(wParam);
        return 1;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

double LayerRate(int producers, long perProducer) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = BenchProc;
    wc.lpszClassName = L"VxBench";
    RegisterClassExW(&wc);
    HWND window =
        CreateWindowExW(0, L"VxBench", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    gHandled = 0;
    const long total = producers * perProducer;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([=] {
            for (long i = 0; i < perProducer; ++i) {
                while (!PostMessageW(window, kBenchMessage, 1, 0))
                    std::this_thread::yield();
            }
        });
    }
    MSG msg;
    while (gHandled < total && GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& t : threads)
        t.join();
    DestroyWindow(window);
    UnregisterClassW(L"VxBench", nullptr);
    return total / seconds;
}

double AsioRate(int producers, long perProducer) {
    boost::asio::io_context io(1);
    auto guard = boost::asio::make_work_guard(io);
    long handled = 0;
    const long total = producers * perProducer;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, perProducer] {
            for (long i = 0; i < perProducer; ++i) {
                boost::asio::post(io, [&] {
                    if (++handled == total)
                        guard.reset();
                });
            }
        });
    }
    io.run();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& t : threads)
        t.join();
    return total / seconds;
}

}  // namespace

int main() {
    for (int producers : {1, 4}) {
        const long each = 2000000 / producers;
        double ours = 0, asio = 0;
        for (int round = 0; round < 3; ++round) {
            ours = std::max(ours, LayerRate(producers, each));
            asio = std::max(asio, AsioRate(producers, each));
        }
        std::printf(
            "%d poster(s): PostMessageW/GetMessageW %6.2f M msg/s   asio::post %6.2f M msg/s"
            "   ratio %5.2f\n",
            producers, ours / 1e6, asio / 1e6, ours / asio);
    }
    return 0;
}
