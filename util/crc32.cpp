// crc32.cpp: CCrc32, the CRC-32 value class; the aligned middle of a buffer goes to the
// fastest engine of crc32_kernels.h, bytes around it take the byte-wise table step.
#include "VexloTool/Crc32.h"

#include <cstdint>
#include <mutex>

#include "util/crc32_kernels.h"

namespace VexloTool {

namespace {

constexpr unsigned int kInitial = 0xFFFFFFFFu;
constexpr unsigned int kDigestSize = 4;

// Process-wide; constant-initialised, so usable from any static constructor.
std::mutex g_tableLock;

bool UseClmul() {
    static const bool available = crc32_impl::CpuHasClmul();
    return available;
}

}  // namespace

const unsigned int* CCrc32::s_tab = nullptr;

// The private steps are defined inline here, where all their callers live: exported
// functions of a shared library would otherwise be called through the PLT on every byte.
inline void CCrc32::UpdateByte(unsigned char byte) {
    m_crc = s_tab[Crc32Index(m_crc) ^ byte] ^ Crc32Shifted(m_crc);
}

inline void CCrc32::TruncatedFinal(unsigned char* digest, unsigned int size) {
    // The register has only DigestSize() bytes; a larger request is cut to them.
    if (size > DigestSize()) {
        size = DigestSize();
    }
    m_crc = ~m_crc;
    for (unsigned int i = 0; digest != nullptr && i < size; ++i) {
        digest[i] = GetCrcByte(i);
    }
    Reset();
}

inline unsigned char CCrc32::GetCrcByte(unsigned int index) const {
    if (index >= kDigestSize) {
        return 0;
    }
    const unsigned int shift = IsLittleEndianCpu() ? 8 * index : 8 * (kDigestSize - 1 - index);
    return static_cast<unsigned char>(m_crc >> shift);
}

inline unsigned int CCrc32::DigestSize() const {
    return kDigestSize;
}

inline void CCrc32::Reset() {
    m_crc = kInitial;
    // Published once; afterwards only the unlocked acquire read runs.
    if (__atomic_load_n(&s_tab, __ATOMIC_ACQUIRE) == nullptr) {
        std::lock_guard<std::mutex> hold(g_tableLock);
        if (s_tab == nullptr) {
            __atomic_store_n(&s_tab, &crc32_impl::kTables.t[0][0], __ATOMIC_RELEASE);
        }
    }
}

inline unsigned int CCrc32::Crc32Index(unsigned int reg) {
    return reg & 0xFFu;
}

inline unsigned int CCrc32::Crc32Shifted(unsigned int reg) {
    return reg >> 8;
}

inline int CCrc32::IsLittleEndianCpu() {
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1 : 0;
}

CCrc32::CCrc32() : m_crc(kInitial) {
    Reset();
}

CCrc32::~CCrc32() {}

CCrc32& CCrc32::operator=(const CCrc32& other) {
    m_crc = other.m_crc;
    return *this;
}

unsigned int CCrc32::GetCrc32(const unsigned char* data, unsigned int length) {
    // A null buffer is treated as empty rather than dereferenced.
    const unsigned char* p = data;
    unsigned int n = data != nullptr ? length : 0;

    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 3u) != 0) {
        UpdateByte(*p++);
        --n;
    }
    const unsigned int middle = n & ~3u;
    if (middle > 0) {
        m_crc = crc32_impl::Update(m_crc, p, middle, UseClmul());
        p += middle;
        n -= middle;
    }
    while (n > 0) {
        UpdateByte(*p++);
        --n;
    }

    unsigned char digest[kDigestSize];
    TruncatedFinal(digest, DigestSize());
    if (IsLittleEndianCpu()) {
        return unsigned(digest[0]) | unsigned(digest[1]) << 8 | unsigned(digest[2]) << 16 |
               unsigned(digest[3]) << 24;
    }
    return unsigned(digest[3]) | unsigned(digest[2]) << 8 | unsigned(digest[1]) << 16 |
           unsigned(digest[0]) << 24;
}

}  // namespace VexloTool
