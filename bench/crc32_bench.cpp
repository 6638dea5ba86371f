// crc32_bench.cpp: CCrc32::GetCrc32 against zlib's crc32(), side by side, on one large
// buffer and on many small ones.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "VexloTool/Crc32.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of `rounds` after one warm-up; returns seconds for one call of `work`.
double BestSeconds(const std::function<void()>& work, int rounds) {
    work();
    double best = 1e30;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        work();
        const double s = std::chrono::duration<double>(Clock::now() - start).count();
        if (s < best) {
            best = s;
        }
    }
    return best;
}

volatile uint32_t g_sink;

void Compare(const char* label, double bytes, const std::function<void()>& ours,
             const std::function<void()>& zlib, int rounds) {
    const double oursRate = bytes / BestSeconds(ours, rounds) / 1e9;
    const double zlibRate = bytes / BestSeconds(zlib, rounds) / 1e9;
    std::printf("%-34s CCrc32 %7.2f GB/s   zlib crc32 %7.2f GB/s   ratio %5.2f\n", label, oursRate,
                zlibRate, oursRate / zlibRate);
}

}  // namespace

int main() {
    constexpr size_t kBig = 64u << 20;
    std::vector<unsigned char> big(kBig + 64);
    std::mt19937 gen(42);
    for (auto& b : big) {
        b = static_cast<unsigned char>(gen());
    }
    VexloTool::CCrc32 crc;
    const unsigned char* aligned = big.data();
    if (crc.GetCrc32(aligned, kBig) != crc32(0, aligned, kBig) ||
        crc.GetCrc32(aligned + 1, kBig - 1) != crc32(0, aligned + 1, kBig - 1)) {
        std::printf("MISMATCH against zlib\n");
        return 1;
    }

    Compare(
        "64 MiB buffer", kBig, [&] { g_sink = crc.GetCrc32(aligned, kBig); },
        [&] { g_sink = static_cast<uint32_t>(crc32(0, aligned, kBig)); }, 7);

    // Small buffers: 64-byte records over a 64 KiB region (in cache), many passes.
    constexpr size_t kRecord = 64;
    constexpr size_t kRegion = 64u << 10;
    constexpr int kPasses = 2000;
    const double smallBytes = double(kRegion) * kPasses;
    for (size_t offset : {size_t(0), size_t(1)}) {
        const unsigned char* base = aligned + offset;
        Compare(
            offset == 0 ? "64-byte buffers" : "64-byte buffers, odd address", smallBytes,
            [&] {
                uint32_t acc = 0;
                for (int pass = 0; pass < kPasses; ++pass) {
                    for (size_t at = 0; at < kRegion; at += kRecord) {
                        acc ^= crc.GetCrc32(base + at, kRecord);
                    }
                }
                g_sink = acc;
            },
            [&] {
                uint32_t acc = 0;
                for (int pass = 0; pass < kPasses; ++pass) {
                    for (size_t at = 0; at < kRegion; at += kRecord) {
                        acc ^= static_cast<uint32_t>(crc32(0, base + at, kRecord));
                    }
                }
                g_sink = acc;
            },
            5);
    }
    return 0;
}
