// log_bench.cpp: CVXLogWrapper against spdlog's asynchronous file logger,
// side by side: 1,000,000 short lines from one and from two threads through
// to the file, and what one call costs its caller.
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VexloTool/VXLogWrapper.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using VexloTool::CVXLogWrapper;

constexpr int kLines = 1000000;
constexpr int kRounds = 3;

// The same line on both sides: "HH:MM:SS   request 12 finished in 12 ms,
// status ok" and CR LF.
void OursLine(int i) {
    CVXLogWrapper::Instance().WriteLog(
        VexloTool::VXLOG_INFO, L"request %d finished in %d ms, status %s", i, i % 250, L"ok");
}

void PeerLine(spdlog::logger& logger, int i) {
    logger.info("request {} finished in {} ms, status {}", i, i % 250, "ok");
}

// Runs `lines` calls split over `threads` threads.
void Spread(int threads, const std::function<void(int)>& line) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, threads, &line] {
            for (int i = t; i < kLines; i += threads)
                line(i);
        });
    }
    for (std::thread& w : workers)
        w.join();
}

std::shared_ptr<spdlog::async_logger> MakePeer(
    const std::string& path, std::shared_ptr<spdlog::details::thread_pool>& pool) {
    pool = std::make_shared<spdlog::details::thread_pool>(8192, 1);
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
    auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                         spdlog::async_overflow_policy::block);
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%H:%M:%S   %v", spdlog::pattern_time_type::local, "\r\n"));
    return logger;
}

// Seconds from the first call until every line is in the file.
double OursSeconds(const fs::path& file, int threads) {
    CVXLogWrapper& log = CVXLogWrapper::Instance();
    log.Init(file.wstring().c_str());
    const auto start = Clock::now();
    Spread(threads, OursLine);
    log.Save();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    log.UnInit();
    return seconds;
}

double PeerSeconds(const fs::path& file, int threads) {
    std::shared_ptr<spdlog::details::thread_pool> pool;
    auto logger = MakePeer(file.string(), pool);
    const auto start = Clock::now();
    Spread(threads, [&](int i) { PeerLine(*logger, i); });
    logger->flush();
    // The pool drains its queue before its thread ends; the file closes
    // with the last reference to the sink.
    logger.reset();
    pool.reset();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t CountLines(const fs::path& file) {
    std::FILE* f = std::fopen(file.string().c_str(), "rb");
    if (!f)
        return 0;
    size_t lines = 0;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) {
        lines += static_cast<size_t>(std::count(buffer, buffer + n, '\n'));
    }
    std::fclose(f);
    return lines;
}

struct Latency {
    double median;
    double p99;
};

// Cost of one call to its caller, each call timed on its own.
Latency CallCost(const std::function<void(int)>& line) {
    std::vector<double> ns(kLines);
    for (int i = 0; i < kLines; ++i) {
        const auto start = Clock::now();
        line(i);
        ns[i] = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    }
    std::sort(ns.begin(), ns.end());
    return {ns[ns.size() / 2], ns[ns.size() * 99 / 100]};
}

}  // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() /
        ("vx_log_bench_" + std::to_string(Clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    const fs::path oursFile = dir / "ours.log";
    const fs::path peerFile = dir / "peer.log";

    std::printf("%d lines of about 60 bytes, through to the file; best of %d\n", kLines, kRounds);
    for (int threads : {1, 2}) {
        double ours = 1e30;
        double peer = 1e30;
        for (int round = 0; round < kRounds; ++round) {
            ours = std::min(ours, OursSeconds(oursFile, threads));
            peer = std::min(peer, PeerSeconds(peerFile, threads));
        }
        const size_t oursLines = CountLines(oursFile);
        const size_t peerLines = CountLines(peerFile);
        if (oursLines != kLines || peerLines != kLines) {
            std::printf("line count mismatch: VexloTool %zu, spdlog %zu\n", oursLines, peerLines);
            return 1;
        }
        const double oursRate = kLines / ours / 1e6;
        const double peerRate = kLines / peer / 1e6;
        std::printf(
            "%d thread%s  VexloTool %5.2f M lines/s   spdlog %5.2f M lines/s   ratio %5.2f\n",
            threads, threads == 1 ? " " : "s", oursRate, peerRate, oursRate / peerRate);
    }

    // Caller cost, one thread, the writer draining meanwhile.
    CVXLogWrapper::Instance().Init(oursFile.wstring().c_str());
    const Latency ours = CallCost(OursLine);
    CVXLogWrapper::Instance().Save();
    CVXLogWrapper::Instance().UnInit();
    std::shared_ptr<spdlog::details::thread_pool> pool;
    auto logger = MakePeer(peerFile.string(), pool);
    const Latency peer = CallCost([&](int i) { PeerLine(*logger, i); });
    logger.reset();
    pool.reset();
    std::printf(
        "call cost  VexloTool median %4.0f ns, p99 %5.0f ns   spdlog median %4.0f ns, "
        "p99 %5.0f ns\n",
        ours.median, ours.p99, peer.median, peer.p99);

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
