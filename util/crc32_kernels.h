// crc32_kernels.h: the CRC-32 engines behind CCrc32 (byte-wise reference, slicing-by-16,
// carry-less multiply folding); header-only so the tests can drive every engine directly.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VX_CRC32_X86 1
#else
#define VX_CRC32_X86 0
#endif

namespace VexloTool {
namespace crc32_impl {

// All engines work on the raw register: no initial value or final complement here.
constexpr uint32_t kReflectedPoly = 0xEDB88320u;
constexpr uint32_t kNormalPoly = 0x04C11DB7u;

// t[0] is the byte-wise table; t[k][b] is the register contribution of byte b followed
// by k zero bytes, derived from t[0], which lets slicing consume 16 bytes per step.
struct Tables {
    uint32_t t[16][256];
};

constexpr Tables MakeTables() {
    Tables r{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1u) ? (c >> 1) ^ kReflectedPoly : c >> 1;
        }
        r.t[0][i] = c;
    }
    for (int k = 1; k < 16; ++k) {
        for (int i = 0; i < 256; ++i) {
            const uint32_t prev = r.t[k - 1][i];
            r.t[k][i] = (prev >> 8) ^ r.t[0][prev & 0xFFu];
        }
    }
    return r;
}

inline constexpr Tables kTables = MakeTables();
static_assert(kTables.t[0][1] == 0x77073096u, "byte-wise table of 0xEDB88320");
static_assert(kTables.t[0][255] == 0x2D02EF8Du, "byte-wise table of 0xEDB88320");

inline uint32_t Load32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The reference: one table step per byte.
inline uint32_t Bytewise(uint32_t crc, const unsigned char* p, size_t n) {
    const uint32_t* t = kTables.t[0];
    for (size_t i = 0; i < n; ++i) {
        crc = t[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc;
}

inline uint32_t Slice16(uint32_t crc, const unsigned char* p, size_t n) {
    const auto& t = kTables.t;
    while (n >= 16) {
        const uint32_t a = crc ^ Load32(p);
        const uint32_t b = Load32(p + 4);
        const uint32_t c = Load32(p + 8);
        const uint32_t d = Load32(p + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        const uint32_t a = crc ^ Load32(p);
        const uint32_t b = Load32(p + 4);
        crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
              t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        const uint32_t a = crc ^ Load32(p);
        crc = t[3][a & 0xFF] ^ t[2][(a >> 8) & 0xFF] ^ t[1][(a >> 16) & 0xFF] ^ t[0][a >> 24];
        p += 4;
        n -= 4;
    }
    return Bytewise(crc, p, n);
}

// x^n mod P with bit d holding the coefficient of x^d.
constexpr uint32_t XPowModP(unsigned n) {
    uint32_t r = 1;
    while (n-- > 0) {
        r = (r & 0x80000000u) ? (r << 1) ^ kNormalPoly : r << 1;
    }
    return r;
}

constexpr uint32_t Reverse32(uint32_t v) {
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i) {
        r = (r << 1) | ((v >> i) & 1u);
    }
    return r;
}

// Folding constant x^n mod P in the reflected 64-bit form the multiplier takes:
// bit 63 - d holds the coefficient of x^d.
constexpr uint64_t FoldConstant(unsigned n) {
    return uint64_t(Reverse32(XPowModP(n))) << 32;
}

// Folding works on 128-bit lanes loaded little-endian, whose bit i is the coefficient
// of x^(127 - i) (reflected order). Moving a lane D bits further into the message
// multiplies its low 64 bits (the high-order terms) by x^(D + 63) and its high 64 bits
// by x^(D - 1) mod P; the one-bit shift of a reflected carry-less product makes up the
// missing power. Both products fit in 127 bits and simply replace the lane.
constexpr unsigned kLaneBits = 128;

struct FoldPair {
    uint64_t low;   // for the lane's low 64 bits
    uint64_t high;  // for its high 64 bits
};

constexpr FoldPair MakeFoldPair(unsigned distance) {
    return {FoldConstant(distance + 63), FoldConstant(distance - 1)};
}

// Computed by the compiler: distances of four, two and one lanes.
inline constexpr FoldPair kFold4 = MakeFoldPair(4 * kLaneBits);
inline constexpr FoldPair kFold2 = MakeFoldPair(2 * kLaneBits);
inline constexpr FoldPair kFold1 = MakeFoldPair(kLaneBits);

#if VX_CRC32_X86
#define VX_CRC32_CLMUL __attribute__((target("pclmul,sse2")))

VX_CRC32_CLMUL inline __m128i FoldLane(__m128i lane, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(lane, k, 0x00), _mm_clmulepi64_si128(lane, k, 0x11));
}

VX_CRC32_CLMUL inline __m128i FoldKeys(const FoldPair& pair) {
    return _mm_set_epi64x(static_cast<long long>(pair.high), static_cast<long long>(pair.low));
}

// Four independent lanes hide the multiplier's latency on long runs; shorter runs
// fold a single lane. Needs n >= 32.
VX_CRC32_CLMUL inline uint32_t FoldClmul(uint32_t crc, const unsigned char* p, size_t n) {
    const __m128i* v = reinterpret_cast<const __m128i*>(p);
    // The register enters as a XOR over the first four message bytes.
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(v), _mm_cvtsi32_si128(static_cast<int>(crc)));
    const __m128i k1 = FoldKeys(kFold1);
    if (n >= 64) {
        __m128i x1 = _mm_loadu_si128(v + 1);
        __m128i x2 = _mm_loadu_si128(v + 2);
        __m128i x3 = _mm_loadu_si128(v + 3);
        p += 64;
        n -= 64;
        const __m128i k4 = FoldKeys(kFold4);
        while (n >= 64) {
            v = reinterpret_cast<const __m128i*>(p);
            x0 = _mm_xor_si128(FoldLane(x0, k4), _mm_loadu_si128(v));
            x1 = _mm_xor_si128(FoldLane(x1, k4), _mm_loadu_si128(v + 1));
            x2 = _mm_xor_si128(FoldLane(x2, k4), _mm_loadu_si128(v + 2));
            x3 = _mm_xor_si128(FoldLane(x3, k4), _mm_loadu_si128(v + 3));
            p += 64;
            n -= 64;
        }
        // Four lanes to two, then to one, as a tree to keep the chain short.
        const __m128i k2 = FoldKeys(kFold2);
        x0 = _mm_xor_si128(FoldLane(x0, k2), x2);
        x1 = _mm_xor_si128(FoldLane(x1, k2), x3);
        x0 = _mm_xor_si128(FoldLane(x0, k1), x1);
    } else {
        p += 16;
        n -= 16;
    }
    while (n >= 16) {
        x0 = _mm_xor_si128(FoldLane(x0, k1), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        p += 16;
        n -= 16;
    }

    // The last lane is a 16-byte message of its own, run from a zero register.
    alignas(16) unsigned char lane[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lane), x0);
    return Slice16(Slice16(0, lane, 16), p, n);
}

inline bool CpuHasClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}
#else
inline uint32_t FoldClmul(uint32_t crc, const unsigned char* p, size_t n) {
    return Slice16(crc, p, n);
}

inline bool CpuHasClmul() {
    return false;
}
#endif

constexpr size_t kFoldMinimum = 32;

// The fastest engine allowed; folding only when the processor has it.
inline uint32_t Update(uint32_t crc, const unsigned char* p, size_t n, bool useClmul) {
    if (useClmul && n >= kFoldMinimum) {
        return FoldClmul(crc, p, n);
    }
    return Slice16(crc, p, n);
}

}  // namespace crc32_impl
}  // namespace VexloTool
