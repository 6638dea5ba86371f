// base64_kernels.h: the Base64 engines behind convert_to_base64/convert_from_base64 (scalar
// reference, SSSE3, AVX2); header-only so the tests and the fuzzer can drive each one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VX_BASE64_X86 1
#else
#define VX_BASE64_X86 0
#endif

namespace VexloTool {
namespace base64_impl {

// A character's position is its value.
inline constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';
constexpr uint8_t kInvalid = 0xFF;

struct DecodeTable {
    uint8_t value[256];
};

constexpr DecodeTable MakeDecodeTable() {
    DecodeTable t{};
    for (int c = 0; c < 256; ++c) {
        t.value[c] = kInvalid;
    }
    for (int v = 0; v < 64; ++v) {
        t.value[static_cast<unsigned char>(kAlphabet[v])] = static_cast<uint8_t>(v);
    }
    return t;
}

inline constexpr DecodeTable kDecode = MakeDecodeTable();

inline bool InAlphabet(char c) {
    return kDecode.value[static_cast<unsigned char>(c)] != kInvalid;
}

constexpr uint64_t EncodedSize(uint64_t bytes) {
    return (bytes + 2) / 3 * 4;
}

// Bytes from `chars` accepted characters: three per full group, one or two for a
// partial group of two or three, none for a lone character.
constexpr uint64_t DecodedSize(uint64_t chars) {
    return chars / 4 * 3 + (chars % 4 == 3 ? 2 : chars % 4 == 2 ? 1 : 0);
}

// Reference encoder: writes EncodedSize(n) characters, padded with '='.
inline size_t EncodeScalar(const unsigned char* in, size_t n, char* out) {
    size_t o = 0;
    size_t i = 0;
    for (; n - i >= 3; i += 3) {
        const uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        out[o++] = kAlphabet[v >> 18];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = kAlphabet[(v >> 6) & 63];
        out[o++] = kAlphabet[v & 63];
    }
    const size_t rest = n - i;
    if (rest > 0) {
        const uint32_t v = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0u);
        out[o++] = kAlphabet[v >> 18];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = rest == 2 ? kAlphabet[(v >> 6) & 63] : kPad;
        out[o++] = kPad;
    }
    return o;
}

// Reference decoder: stops at the end or at the first character outside the alphabet
// ('=' included); returns the bytes written, at most DecodedSize(n).
inline size_t DecodeScalar(const char* in, size_t n, unsigned char* out) {
    size_t o = 0;
    uint32_t acc = 0;
    int have = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t v = kDecode.value[static_cast<unsigned char>(in[i])];
        if (v == kInvalid) {
            break;
        }
        acc = acc << 6 | v;
        if (++have == 4) {
            out[o++] = static_cast<unsigned char>(acc >> 16);
            out[o++] = static_cast<unsigned char>(acc >> 8);
            out[o++] = static_cast<unsigned char>(acc);
            acc = 0;
            have = 0;
        }
    }
    // Missing characters count as zero: 12 bits give one byte, 18 bits give two.
    if (have == 2) {
        out[o++] = static_cast<unsigned char>(acc >> 4);
    } else if (have == 3) {
        out[o++] = static_cast<unsigned char>(acc >> 10);
        out[o++] = static_cast<unsigned char>(acc >> 2);
    }
    return o;
}

enum class Path { kScalar, kSsse3, kAvx2 };

#if VX_BASE64_X86
#define VX_BASE64_SSSE3 __attribute__((target("ssse3")))
#define VX_BASE64_AVX2 __attribute__((target("avx2")))

// Vector encoding, per 32-bit slot holding one 3-byte group: the bytes are arranged as
// [b1 b0 b2 b1] so that each 16-bit half holds two 6-bit fields; a high multiply moves
// fields 0 and 2 down, a low multiply moves fields 1 and 3 up, giving one index a byte.
// Indices become characters by adding an offset chosen by range: 0..25 'A'.., 26..51
// 'a'.., 52..61 '0'.., 62 '+', 63 '/'.
constexpr uint32_t kEncodeMaskHigh = 0x0FC0FC00u;
constexpr uint32_t kEncodeMulHigh = 0x04000040u;
constexpr uint32_t kEncodeMaskLow = 0x003F03F0u;
constexpr uint32_t kEncodeMulLow = 0x01000010u;

VX_BASE64_SSSE3 inline __m128i EncodeShuffle128() {
    return _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
}

VX_BASE64_SSSE3 inline __m128i EncodeOffsets128() {
    return _mm_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
}

VX_BASE64_SSSE3 inline __m128i IndicesToChars128(__m128i idx) {
    __m128i range = _mm_subs_epu8(idx, _mm_set1_epi8(51));
    const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), idx);
    range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
    return _mm_add_epi8(idx, _mm_shuffle_epi8(EncodeOffsets128(), range));
}

// Returns the input bytes consumed (a multiple of 3); writes 4/3 as many characters.
VX_BASE64_SSSE3 inline size_t EncodeSsse3(const unsigned char* in, size_t n, char* out) {
    size_t i = 0;
    const __m128i maskHigh = _mm_set1_epi32(static_cast<int>(kEncodeMaskHigh));
    const __m128i mulHigh = _mm_set1_epi32(static_cast<int>(kEncodeMulHigh));
    const __m128i maskLow = _mm_set1_epi32(static_cast<int>(kEncodeMaskLow));
    const __m128i mulLow = _mm_set1_epi32(static_cast<int>(kEncodeMulLow));
    // Each step reads 16 bytes and uses 12.
    for (; n - i >= 16; i += 12, out += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        v = _mm_shuffle_epi8(v, EncodeShuffle128());
        const __m128i fields = _mm_or_si128(_mm_mulhi_epu16(_mm_and_si128(v, maskHigh), mulHigh),
                                            _mm_mullo_epi16(_mm_and_si128(v, maskLow), mulLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), IndicesToChars128(fields));
    }
    return i;
}

VX_BASE64_AVX2 inline __m256i IndicesToChars256(__m256i idx) {
    __m256i range = _mm256_subs_epu8(idx, _mm256_set1_epi8(51));
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), idx);
    range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    const __m256i offsets =
        _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4, -4,
                         -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
    return _mm256_add_epi8(idx, _mm256_shuffle_epi8(offsets, range));
}

VX_BASE64_AVX2 inline __m256i EncodeFields256(__m256i v) {
    const __m256i shuffle = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1,
                                             0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    v = _mm256_shuffle_epi8(v, shuffle);
    const __m256i high = _mm256_mulhi_epu16(
        _mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(kEncodeMaskHigh))),
        _mm256_set1_epi32(static_cast<int>(kEncodeMulHigh)));
    const __m256i low =
        _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(kEncodeMaskLow))),
                           _mm256_set1_epi32(static_cast<int>(kEncodeMulLow)));
    return _mm256_or_si256(high, low);
}

VX_BASE64_AVX2 inline __m256i LoadTwelvePairs(const unsigned char* p) {
    // 12 bytes into each 128-bit lane: p[0..11] low, p[12..23] high (each load reads 16).
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

VX_BASE64_AVX2 inline size_t EncodeAvx2(const unsigned char* in, size_t n, char* out) {
    size_t i = 0;
    // Two blocks a step keep both multipliers busy; each block reads 28 bytes, uses 24.
    for (; n - i >= 52; i += 48, out += 64) {
        const __m256i a = EncodeFields256(LoadTwelvePairs(in + i));
        const __m256i b = EncodeFields256(LoadTwelvePairs(in + i + 24));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), IndicesToChars256(a));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), IndicesToChars256(b));
    }
    for (; n - i >= 28; i += 24, out += 32) {
        const __m256i a = EncodeFields256(LoadTwelvePairs(in + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), IndicesToChars256(a));
    }
    return i + EncodeSsse3(in + i, n - i, out);
}

// Vector decoding. Validation: a byte is in the alphabet when the class bit of its high
// nibble is not among the classes for which its low nibble is invalid. Classes: 0x01 for
// 0x2_ ('+' '/'), 0x02 for 0x3_ (digits), 0x04 for 0x4_/0x6_ (letters from 1), 0x08 for
// 0x5_/0x7_ (letters up to A), 0x10 for every other high nibble (never valid).
VX_BASE64_SSSE3 inline __m128i LowNibbleClasses128() {
    return _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A);
}

VX_BASE64_SSSE3 inline __m128i HighNibbleClasses128() {
    return _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10);
}

// Character-to-value offset by high nibble; '/' is steered to slot 1 as it shares 0x2_
// with '+'.
VX_BASE64_SSSE3 inline __m128i DecodeOffsets128() {
    return _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
}

// Packing: v0*64+v1 and v2*64+v3 per 16 bits, then (..)*4096+(..) per 32 bits gives
// the 24-bit group, whose bytes leave in big-endian order.
constexpr uint32_t kPackPairs = 0x01400140u;
constexpr uint32_t kPackQuads = 0x00011000u;

VX_BASE64_SSSE3 inline size_t DecodeSsse3(const char* in, size_t n, unsigned char* out) {
    size_t i = 0;
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    for (; n - i >= 16; i += 16, out += 12) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i hi = _mm_and_si128(_mm_srli_epi32(v, 4), nibble);
        const __m128i lo = _mm_and_si128(v, nibble);
        const __m128i bad = _mm_and_si128(_mm_shuffle_epi8(LowNibbleClasses128(), lo),
                                          _mm_shuffle_epi8(HighNibbleClasses128(), hi));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(bad, _mm_setzero_si128())) != 0xFFFF) {
            break;  // the scalar path finds the stop inside this block
        }
        const __m128i slot = _mm_add_epi8(hi, _mm_cmpeq_epi8(v, slash));
        const __m128i values = _mm_add_epi8(v, _mm_shuffle_epi8(DecodeOffsets128(), slot));
        const __m128i pairs =
            _mm_maddubs_epi16(values, _mm_set1_epi32(static_cast<int>(kPackPairs)));
        const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(static_cast<int>(kPackQuads)));
        const __m128i bytes = _mm_shuffle_epi8(groups, order);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        const uint32_t last = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8)));
        std::memcpy(out + 8, &last, 4);
    }
    return i;
}

VX_BASE64_AVX2 inline __m256i Twice(__m128i v) {
    return _mm256_broadcastsi128_si256(v);
}

// Returns false, writing nothing, unless all 32 characters are in the alphabet.
VX_BASE64_AVX2 inline bool DecodeBlockAvx2(const char* in, unsigned char* out) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(v, 4), nibble);
    const __m256i lo = _mm256_and_si256(v, nibble);
    const __m256i lowClasses =
        _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                         0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                         0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highClasses =
        _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                         0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i bad =
        _mm256_and_si256(_mm256_shuffle_epi8(lowClasses, lo), _mm256_shuffle_epi8(highClasses, hi));
    if (!_mm256_testz_si256(bad, bad)) {
        return false;
    }
    const __m256i offsets =
        _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                         -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slot = _mm256_add_epi8(hi, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('/')));
    const __m256i values = _mm256_add_epi8(v, _mm256_shuffle_epi8(offsets, slot));
    const __m256i pairs =
        _mm256_maddubs_epi16(values, _mm256_set1_epi32(static_cast<int>(kPackPairs)));
    const __m256i groups =
        _mm256_madd_epi16(pairs, _mm256_set1_epi32(static_cast<int>(kPackQuads)));
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_shuffle_epi8(groups, order);
    // 12 bytes from each lane, made contiguous.
    const __m256i packed =
        _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
    return true;
}

// Returns the characters consumed (a multiple of 4); writes 3/4 as many bytes.
VX_BASE64_AVX2 inline size_t DecodeAvx2(const char* in, size_t n, unsigned char* out) {
    size_t i = 0;
    for (; n - i >= 32; i += 32, out += 24) {
        if (!DecodeBlockAvx2(in + i, out)) {
            return i;
        }
    }
    return i + DecodeSsse3(in + i, n - i, out);
}

inline Path BestPath() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return Path::kAvx2;
    }
    if (__builtin_cpu_supports("ssse3")) {
        return Path::kSsse3;
    }
    return Path::kScalar;
}

inline bool PathAvailable(Path path) {
    __builtin_cpu_init();
    switch (path) {
        case Path::kAvx2:
            return __builtin_cpu_supports("avx2") != 0;
        case Path::kSsse3:
            return __builtin_cpu_supports("ssse3") != 0;
        case Path::kScalar:
            break;
    }
    return true;
}
#else
inline Path BestPath() {
    return Path::kScalar;
}

inline bool PathAvailable(Path path) {
    return path == Path::kScalar;
}
#endif

// The vector part of a run along `path`: input consumed by whole blocks (bytes for
// encoding, a multiple of 3; characters for decoding, a multiple of 4). Decoding blocks
// stop at the first block holding a character outside the alphabet.
inline size_t VectorEncode(const unsigned char* in, size_t n, char* out, Path path) {
#if VX_BASE64_X86
    if (path == Path::kAvx2) {
        return EncodeAvx2(in, n, out);
    }
    if (path == Path::kSsse3) {
        return EncodeSsse3(in, n, out);
    }
#endif
    (void)in, (void)n, (void)out, (void)path;
    return 0;
}

inline size_t VectorDecode(const char* in, size_t n, unsigned char* out, Path path) {
#if VX_BASE64_X86
    if (path == Path::kAvx2) {
        return DecodeAvx2(in, n, out);
    }
    if (path == Path::kSsse3) {
        return DecodeSsse3(in, n, out);
    }
#endif
    (void)in, (void)n, (void)out, (void)path;
    return 0;
}

// Whole encoding along `path`, which must be available; returns the characters written.
inline size_t Encode(const unsigned char* in, size_t n, char* out, Path path) {
    const size_t done = VectorEncode(in, n, out, path);
    const size_t written = done / 3 * 4;
    return written + EncodeScalar(in + done, n - done, out + written);
}

// Whole decoding along `path`: vector blocks while every character is in the alphabet,
// then the scalar reference from the first block that is not. Returns the bytes written.
inline size_t Decode(const char* in, size_t n, unsigned char* out, Path path) {
    const size_t done = VectorDecode(in, n, out, path);
    const size_t written = done / 4 * 3;
    return written + DecodeScalar(in + done, n - done, out + written);
}

}  // namespace base64_impl
}  // namespace VexloTool
