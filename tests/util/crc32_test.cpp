// crc32_test.cpp: CCrc32 and its engines against an independent bit-at-a-time CRC-32.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "VexloTool/Crc32.h"
#include "util/crc32_kernels.h"

using VexloTool::CCrc32;
namespace impl = VexloTool::crc32_impl;

namespace {

// Straight from the definition: no tables, one bit at a time.
uint32_t BitwiseCrc(const unsigned char* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

std::vector<unsigned char> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> bytes(n);
    for (auto& b : bytes) {
        b = static_cast<unsigned char>(gen());
    }
    return bytes;
}

const unsigned char* Bytes(const char* text) {
    return reinterpret_cast<const unsigned char*>(text);
}

struct Engine {
    const char* name;
    bool available;
    uint32_t (*run)(uint32_t, const unsigned char*, size_t);
};

std::vector<Engine> Engines() {
    return {
        {"bytewise", true, impl::Bytewise},
        {"slice16", true, impl::Slice16},
        {"clmul", impl::CpuHasClmul(),
         [](uint32_t crc, const unsigned char* p, size_t n) {
             return n >= impl::kFoldMinimum ? impl::FoldClmul(crc, p, n) : impl::Slice16(crc, p, n);
         }},
        {"dispatch", true,
         [](uint32_t crc, const unsigned char* p, size_t n) {
             return impl::Update(crc, p, n, impl::CpuHasClmul());
         }},
    };
}

}  // namespace

TEST(Crc32, KnownVectors) {
    struct Case {
        std::string data;
        unsigned int crc;
    } const cases[] = {
        {"", 0u},
        {"123456789", 0xCBF43926u},
        {std::string(1, '\0'), 0xD202EF8Du},
        {"a", 0xE8B7BE43u},
        {"abc", 0x352441C2u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {std::string(32, '\0'), 0x190A55ADu},
        {std::string(32, '\xFF'), 0xFF6CAB0Bu},
    };
    CCrc32 crc;
    for (const auto& c : cases) {
        EXPECT_EQ(c.crc, crc.GetCrc32(Bytes(c.data.data()), static_cast<unsigned>(c.data.size())))
            << "size " << c.data.size();
    }
}

TEST(Crc32, EachCallIsCompleteAndObjectsAgree) {
    const auto data = RandomBytes(1000, 1);
    CCrc32 first;
    const unsigned int once = first.GetCrc32(data.data(), 1000);
    EXPECT_EQ(once, first.GetCrc32(data.data(), 1000));
    EXPECT_EQ(0xCBF43926u, first.GetCrc32(Bytes("123456789"), 9));
    EXPECT_EQ(once, first.GetCrc32(data.data(), 1000));

    CCrc32 copy(first);
    CCrc32 assigned;
    assigned = first;
    EXPECT_EQ(once, copy.GetCrc32(data.data(), 1000));
    EXPECT_EQ(once, assigned.GetCrc32(data.data(), 1000));
    EXPECT_EQ(BitwiseCrc(data.data(), 1000), once);
}

TEST(Crc32, EmptyAndNullBuffersGiveZero) {
    CCrc32 crc;
    const unsigned char byte = 0x55;
    EXPECT_EQ(0u, crc.GetCrc32(&byte, 0));
    EXPECT_EQ(0u, crc.GetCrc32(nullptr, 0));
    EXPECT_EQ(0u, crc.GetCrc32(nullptr, 16));
    EXPECT_EQ(0xCBF43926u, crc.GetCrc32(Bytes("123456789"), 9));  // unharmed
}

// Every length 0..300 at every start address modulo 16, through the public class:
// covers the unaligned head, the word-aligned middle and the tail of every shape.
TEST(Crc32, AllLengthsAndAlignmentsMatchBitwise) {
    const auto data = RandomBytes(300 + 16, 2);
    CCrc32 crc;
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t n = 0; n <= 300; ++n) {
            ASSERT_EQ(BitwiseCrc(data.data() + offset, n),
                      crc.GetCrc32(data.data() + offset, static_cast<unsigned>(n)))
                << "offset " << offset << " length " << n;
        }
    }
}

TEST(Crc32, EnginesMatchBitwiseOnAllShortShapes) {
    const auto data = RandomBytes(300 + 16, 3);
    for (const auto& engine : Engines()) {
        if (!engine.available) {
            continue;
        }
        for (size_t offset = 0; offset < 16; ++offset) {
            for (size_t n = 0; n <= 300; ++n) {
                const uint32_t got = ~engine.run(0xFFFFFFFFu, data.data() + offset, n);
                ASSERT_EQ(BitwiseCrc(data.data() + offset, n), got)
                    << engine.name << " offset " << offset << " length " << n;
            }
        }
    }
}

// Long runs exercise the fold loop itself; the table step is the reference.
TEST(Crc32, EnginesMatchBytewiseOnLargeBuffers) {
    const auto data = RandomBytes((4u << 20) + 64, 4);
    const size_t lengths[] = {(4u << 20), (1u << 20) + 13, 65536 + 63, 4096 + 1};
    for (const auto& engine : Engines()) {
        if (!engine.available) {
            continue;
        }
        for (size_t n : lengths) {
            for (size_t offset : {0, 1, 3, 7, 15, 33}) {
                const unsigned char* p = data.data() + offset;
                ASSERT_EQ(impl::Bytewise(0xFFFFFFFFu, p, n), engine.run(0xFFFFFFFFu, p, n))
                    << engine.name << " offset " << offset << " length " << n;
            }
        }
    }
    CCrc32 crc;
    EXPECT_EQ(~impl::Bytewise(0xFFFFFFFFu, data.data() + 1, 4u << 20),
              crc.GetCrc32(data.data() + 1, 4u << 20));
}

// Continuing from any register equals one pass: the seed enters every engine correctly.
TEST(Crc32, SplitUpdatesEqualOnePass) {
    const auto data = RandomBytes(600, 5);
    const uint32_t whole = impl::Bytewise(0xFFFFFFFFu, data.data(), data.size());
    for (const auto& engine : Engines()) {
        if (!engine.available) {
            continue;
        }
        for (size_t split = 0; split <= data.size(); ++split) {
            const uint32_t head = engine.run(0xFFFFFFFFu, data.data(), split);
            ASSERT_EQ(whole, engine.run(head, data.data() + split, data.size() - split))
                << engine.name << " split " << split;
        }
    }
}

// Objects built concurrently on fresh threads all see the published table.
TEST(Crc32, ConcurrentObjectsComputeIndependently) {
    const auto data = RandomBytes(100000, 6);
    const unsigned int expected = BitwiseCrc(data.data(), data.size());
    std::vector<unsigned int> results(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&data, &results, t] {
            for (int round = 0; round < 20; ++round) {
                CCrc32 crc;
                results[t] = crc.GetCrc32(data.data() + (t & 3), 99000);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (size_t t = 0; t < results.size(); ++t) {
        EXPECT_EQ(BitwiseCrc(data.data() + (t & 3), 99000), results[t]) << "thread " << t;
    }
    CCrc32 crc;
    EXPECT_EQ(expected, crc.GetCrc32(data.data(), static_cast<unsigned>(data.size())));
}
