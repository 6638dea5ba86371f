// base64_bench.cpp: convert_to_base64/convert_from_base64 against OpenSSL's
// EVP_EncodeBlock/EVP_DecodeBlock, side by side, on 64 MiB of data.
#include <malloc.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "VexloTool/Base64.h"
#include "VexloTool/Memory.h"

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

void Compare(const char* label, const char* peer, double bytes, const std::function<void()>& ours,
             const std::function<void()>& theirs) {
    const double oursRate = bytes / BestSeconds(ours, 7) / 1e9;
    const double peerRate = bytes / BestSeconds(theirs, 7) / 1e9;
    std::printf("%-40s VexloTool %6.2f GB/s   %s %6.2f GB/s   ratio %5.2f\n", label, oursRate, peer,
                peerRate, oursRate / peerRate);
}

volatile int g_sink;

}  // namespace

int main() {
    constexpr int kBytes = 64 << 20;
    std::vector<char> data(kBytes);
    std::mt19937 gen(7);
    for (auto& b : data) {
        b = static_cast<char>(gen());
    }
    const int textLength = (kBytes + 2) / 3 * 4;
    std::vector<unsigned char> peerText(textLength + 1);

    // The results must agree before their speed means anything.
    int length = 0;
    char* text = VexloTool::convert_to_base64(data.data(), kBytes, length);
    const int peerLength = EVP_EncodeBlock(
        peerText.data(), reinterpret_cast<const unsigned char*>(data.data()), kBytes);
    if (length != peerLength || std::memcmp(text, peerText.data(), length) != 0) {
        std::printf("MISMATCH: encoding differs from OpenSSL\n");
        return 1;
    }
    int decodedLength = 0;
    char* decoded = VexloTool::convert_from_base64(text, length, decodedLength);
    if (decodedLength != kBytes || std::memcmp(decoded, data.data(), kBytes) != 0) {
        std::printf("MISMATCH: decoding does not restore the data\n");
        return 1;
    }
    VexloTool::ReleaseBuffer(decoded);

    std::printf("rates in GB/s of binary data (64 MiB; the text is %d bytes)\n", length);
    // Both sides produce a fresh output block per call, as our functions must.
    const auto encodeOurs = [&] {
        int n = 0;
        VexloTool::ReleaseBuffer(VexloTool::convert_to_base64(data.data(), kBytes, n));
        g_sink = n;
    };
    const auto encodePeer = [&] {
        std::unique_ptr<unsigned char[]> out(new unsigned char[textLength + 1]);
        g_sink =
            EVP_EncodeBlock(out.get(), reinterpret_cast<const unsigned char*>(data.data()), kBytes);
    };
    const auto decodeOurs = [&] {
        int n = 0;
        VexloTool::ReleaseBuffer(VexloTool::convert_from_base64(text, length, n));
        g_sink = n;
    };
    const auto decodePeer = [&] {
        std::unique_ptr<unsigned char[]> out(new unsigned char[kBytes + 3]);
        g_sink = EVP_DecodeBlock(out.get(), reinterpret_cast<unsigned char*>(text), length);
    };
    // Blocks this large come straight from the kernel by default, so each call also
    // pays for faulting in fresh pages (costly in a virtual machine).
    Compare("encode, fresh pages per call", "EVP_EncodeBlock", kBytes, encodeOurs, encodePeer);
    Compare("decode, fresh pages per call", "EVP_DecodeBlock", kBytes, decodeOurs, decodePeer);
    // With freed blocks kept in the process heap, the codecs themselves are compared.
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    Compare("encode, warm heap", "EVP_EncodeBlock", kBytes, encodeOurs, encodePeer);
    Compare("decode, warm heap", "EVP_DecodeBlock", kBytes, decodeOurs, decodePeer);
    VexloTool::ReleaseBuffer(text);
    return 0;
}
