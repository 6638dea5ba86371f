/// @file
/// Crc32.h: CRC-32 of byte buffers (reflected polynomial 0xEDB88320, as in IEEE 802.3 and zlib).
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

/// Thread affinity: one object serves one thread at a time; distinct objects may
/// compute in parallel, sharing only the constant table.
/// Locks: one process-wide lock, taken only to publish the table pointer once.
class VEXLOTOOL_API CCrc32 {
public:
    CCrc32();
    CCrc32(const CCrc32& other) = default;
    ~CCrc32();
    CCrc32& operator=(const CCrc32& other);

    /// CRC-32 of the buffer; each call is a complete computation and leaves the
    /// object ready for the next one. A null or empty buffer gives 0.
    unsigned int GetCrc32(const unsigned char* data, unsigned int length);

private:
    void UpdateByte(unsigned char byte);
    void TruncatedFinal(unsigned char* digest, unsigned int size);
    unsigned char GetCrcByte(unsigned int index) const;
    unsigned int DigestSize() const;
    void Reset();
    static unsigned int Crc32Index(unsigned int reg);
    static unsigned int Crc32Shifted(unsigned int reg);
    static int IsLittleEndianCpu();

    // Byte-wise table of the polynomial; set once, never changed afterwards.
    static const unsigned int* s_tab;

    unsigned int m_crc;
};

}  // namespace VexloTool
