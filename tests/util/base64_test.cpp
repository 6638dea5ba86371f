// base64_test.cpp: convert_to_base64/convert_from_base64 and the vector engines against
// the scalar reference.
#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "VexloTool/Base64.h"
#include "VexloTool/Memory.h"
#include "util/base64_kernels.h"

using VexloTool::convert_from_base64;
using VexloTool::convert_to_base64;
namespace impl = VexloTool::base64_impl;

namespace {

// Copies the result out, checks the terminator and releases the module block.
std::string Take(char* block, int length) {
    EXPECT_NE(nullptr, block);
    EXPECT_GE(length, 0);
    if (block == nullptr || length < 0) {
        return {};
    }
    EXPECT_EQ('\0', block[length]);
    std::string result(block, static_cast<size_t>(length));
    VexloTool::ReleaseBuffer(block);
    return result;
}

// Inputs live in exact-size heap blocks so that a read past the end is caught by ASan.
std::string Encode(const std::string& data) {
    std::vector<char> input(data.begin(), data.end());
    int length = -1;
    char* text = convert_to_base64(input.data(), static_cast<int>(input.size()), length);
    return Take(text, length);
}

std::string Decode(const std::string& text) {
    std::vector<char> input(text.begin(), text.end());
    int length = -1;
    char* bytes = convert_from_base64(input.data(), static_cast<int>(input.size()), length);
    return Take(bytes, length);
}

std::string RandomBytes(size_t n, std::mt19937& gen) {
    std::string bytes(n, '\0');
    for (auto& b : bytes) {
        b = static_cast<char>(gen());
    }
    return bytes;
}

std::string RefEncode(const std::string& data) {
    std::string text(static_cast<size_t>(impl::EncodedSize(data.size())), '\0');
    text.resize(impl::EncodeScalar(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                   &text[0]));
    return text;
}

std::string RefDecode(const std::string& text) {
    std::string bytes(static_cast<size_t>(impl::DecodedSize(text.size())), '\0');
    bytes.resize(
        impl::DecodeScalar(text.data(), text.size(), reinterpret_cast<unsigned char*>(&bytes[0])));
    return bytes;
}

std::string PathEncode(const std::string& data, impl::Path path) {
    std::vector<unsigned char> input(data.begin(), data.end());
    std::vector<char> out(static_cast<size_t>(impl::EncodedSize(data.size())));
    const size_t n = impl::Encode(input.data(), input.size(), out.data(), path);
    EXPECT_EQ(out.size(), n);
    return std::string(out.data(), n);
}

std::string PathDecode(const std::string& text, impl::Path path) {
    std::vector<char> input(text.begin(), text.end());
    std::vector<unsigned char> out(static_cast<size_t>(impl::DecodedSize(text.size())));
    const size_t n = impl::Decode(input.data(), input.size(), out.data(), path);
    EXPECT_LE(n, out.size());
    return std::string(reinterpret_cast<const char*>(out.data()), n);
}

std::vector<impl::Path> VectorPaths() {
    std::vector<impl::Path> paths;
    for (impl::Path path : {impl::Path::kSsse3, impl::Path::kAvx2}) {
        if (impl::PathAvailable(path)) {
            paths.push_back(path);
        }
    }
    return paths;
}

const char* Name(impl::Path path) {
    return path == impl::Path::kAvx2 ? "avx2" : path == impl::Path::kSsse3 ? "ssse3" : "scalar";
}

}  // namespace

TEST(Base64, KnownVectorsBothWays) {
    struct Case {
        std::string bytes;
        std::string text;
    } const cases[] = {
        {"", ""},
        {"M", "TQ=="},
        {"Ma", "TWE="},
        {"Man", "TWFu"},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\0\0\0", 4), "AAAAAA=="},
        {"\xFB\xEF\xBE", "++++"},
        {"\xFF\xFF\xFF", "////"},
        {std::string("a\0b", 3), "YQBi"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text, Encode(c.bytes)) << c.text;
        EXPECT_EQ(c.bytes, Decode(c.text)) << c.text;
    }
}

// The decoder is lenient: it stops at the end, the first '=' or the first character
// outside the alphabet, and keeps what came before.
TEST(Base64, DecodingStopsAtFirstCharacterOutsideAlphabet) {
    struct Case {
        std::string text;
        std::string bytes;
    } const cases[] = {
        {"TWE", "Ma"},  // pad missing
        {"TWE=", "Ma"},
        {"TWE==", "Ma"},
        {"TQ", "M"},
        {"T", ""},  // a lone character yields nothing
        {"TWFuT", "Man"},
        {"TWFu\nTWFu", "Man"},  // second line never read
        {"TWFu\r\nTWFu", "Man"},
        {"TWFu TWFu", "Man"},
        {"=TWFu", ""},
        {" TWFu", ""},
        {"\nTWFu", ""},
        {"TW=Fu", "M"},  // '=' in the middle of a group
        {"TWFu=TWFu", "Man"},
        {"TQ==TWFu", "M"},  // text after padding is ignored
        {"TWFu-_", "Man"},  // URL-safe characters are outside
        {"TW-u", "M"},
        {"TW_u", "M"},
        {"TWF\x80", "Ma"},  // bytes above 0x7F are outside
        {"TW\xC3\xA9", "M"},
        {"TWFu\xFF", "Man"},
        {std::string("TW\0Fu", 5), "M"},  // a zero byte is outside too
        {"TWFu.", "Man"},
        {"TWFu@", "Man"},
        {"TWFu[", "Man"},
        {"TWFu`", "Man"},
        {"TWFu{", "Man"},
        {"TWFu:", "Man"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.bytes, Decode(c.text)) << "text: " << c.text;
    }
}

TEST(Base64, EmptyNullAndNegativeInputsGiveEmptyResults) {
    const char data[] = "TWFu";
    struct Case {
        const char* input;
        int length;
    } const cases[] = {{data, 0}, {nullptr, 0}, {nullptr, 4}, {data, -1}, {data, INT_MIN}};
    for (const auto& c : cases) {
        int length = -1;
        char* text = convert_to_base64(c.input, c.length, length);
        EXPECT_EQ(0, length);
        EXPECT_EQ("", Take(text, length));
        length = -1;
        char* bytes = convert_from_base64(c.input, c.length, length);
        EXPECT_EQ(0, length);
        EXPECT_EQ("", Take(bytes, length));
    }
}

// A text length beyond what the int can report must not wrap into a short allocation;
// the size check runs before any input byte is read.
TEST(Base64, OversizedEncodingFailsAsAllocation) {
    const char data[4] = {};
    int length = 7;
    EXPECT_THROW(convert_to_base64(data, INT_MAX, length), std::bad_alloc);
    EXPECT_THROW(convert_to_base64(data, 1610612734, length), std::bad_alloc);
}

TEST(Base64, RoundTripsEveryLengthUpTo100) {
    std::mt19937 gen(11);
    for (size_t n = 0; n <= 100; ++n) {
        const std::string bytes = RandomBytes(n, gen);
        const std::string text = Encode(bytes);
        ASSERT_EQ((n + 2) / 3 * 4, text.size()) << n;
        ASSERT_EQ(RefEncode(bytes), text) << n;
        ASSERT_EQ(bytes, Decode(text)) << n;
        ASSERT_EQ(bytes, Decode(text + "\r\n")) << n;
        // Without its padding the text still decodes completely.
        ASSERT_EQ(bytes, Decode(text.substr(0, text.find('=')))) << n;
    }
}

TEST(Base64, LargeBuffersRoundTrip) {
    std::mt19937 gen(12);
    const std::string bytes = RandomBytes((1u << 20) + 2, gen);
    const std::string text = Encode(bytes);
    EXPECT_EQ(RefEncode(bytes), text);
    EXPECT_EQ(bytes, Decode(text));
    // A stop near the end of a long text.
    std::string cut = text;
    cut[cut.size() - 100] = '\n';
    EXPECT_EQ(RefDecode(cut), Decode(cut));
    EXPECT_EQ((cut.size() - 100) / 4 * 3, Decode(cut).size());
}

TEST(Base64, VectorEncodersMatchScalarOnAllShapes) {
    std::mt19937 gen(13);
    const std::string data = RandomBytes(400, gen);
    for (impl::Path path : VectorPaths()) {
        for (size_t offset = 0; offset < 8; ++offset) {
            for (size_t n = 0; n + offset <= 300; ++n) {
                const std::string bytes = data.substr(offset, n);
                ASSERT_EQ(RefEncode(bytes), PathEncode(bytes, path))
                    << Name(path) << " length " << n;
            }
        }
    }
}

// A character outside the alphabet at any place hands over to the scalar path at the
// right point: the vector path must never decode past it nor stop short of it.
TEST(Base64, VectorDecodersStopWhereScalarStops) {
    std::mt19937 gen(14);
    const std::string text = Encode(RandomBytes(150, gen));  // 200 characters
    const char stoppers[] = {'=', '\n', ' ', '-', '_', '\0', '\x80', '\xFF', '.', '@', ':'};
    for (impl::Path path : VectorPaths()) {
        for (size_t n = 0; n <= text.size(); ++n) {
            const std::string prefix = text.substr(0, n);
            ASSERT_EQ(RefDecode(prefix), PathDecode(prefix, path)) << Name(path) << " " << n;
        }
        for (size_t at = 0; at < text.size(); ++at) {
            for (char stopper : stoppers) {
                std::string broken = text;
                broken[at] = stopper;
                const std::string expected = RefDecode(broken);
                ASSERT_EQ(RefDecode(text.substr(0, at)), expected);
                ASSERT_EQ(expected, PathDecode(broken, path))
                    << Name(path) << " stop " << int(static_cast<unsigned char>(stopper)) << " at "
                    << at;
            }
        }
    }
}

// The vector engines must really carry valid text: blocks are only left to the scalar
// path at the tail or from a character outside the alphabet.
TEST(Base64, VectorEnginesConsumeValidBlocks) {
    std::string text;
    for (int round = 0; round < 5; ++round) {
        for (int v = 0; v < 64; ++v) {
            text += impl::kAlphabet[(v * 7 + round) % 64];
        }
    }
    std::mt19937 gen(15);
    const std::string bytes = RandomBytes(240, gen);
    for (impl::Path path : VectorPaths()) {
        std::vector<unsigned char> out(text.size());
        const size_t consumed = impl::VectorDecode(text.data(), text.size(), out.data(), path);
        EXPECT_GE(consumed + 32, text.size()) << Name(path);
        std::vector<char> chars(impl::EncodedSize(bytes.size()));
        const size_t encoded = impl::VectorEncode(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), chars.data(), path);
        EXPECT_GE(encoded + 28, bytes.size()) << Name(path);
    }
}

// Every byte value, placed inside a vector block: accepted exactly when it belongs to
// the alphabet, and then mapped to its value.
TEST(Base64, EveryByteValueClassifiedLikeScalar) {
    for (int c = 0; c < 256; ++c) {
        const bool alnum =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        const bool expected = alnum || c == '+' || c == '/';
        ASSERT_EQ(expected, impl::InAlphabet(static_cast<char>(c))) << c;
        std::string text(64, 'Q');
        text[37] = static_cast<char>(c);
        const std::string reference = RefDecode(text);
        ASSERT_EQ(expected ? 48u : 27u, reference.size()) << c;
        for (impl::Path path : VectorPaths()) {
            ASSERT_EQ(reference, PathDecode(text, path)) << Name(path) << " byte " << c;
        }
        ASSERT_EQ(reference, Decode(text)) << c;
    }
}

TEST(Base64, AlphabetValuesFollowTheirPositions) {
    std::string all;
    for (int v = 0; v < 64; ++v) {
        all += impl::kAlphabet[v];
    }
    ASSERT_EQ(64u, all.size());
    // 64 characters of values 0..63 are 48 bytes counting 0..63 in 6-bit steps.
    const std::string bytes = Decode(all);
    ASSERT_EQ(48u, bytes.size());
    EXPECT_EQ(all, Encode(bytes));
    EXPECT_EQ('\x00', bytes[0]);
    EXPECT_EQ('\x10', bytes[1]);
    EXPECT_EQ('\x83', bytes[2]);
    EXPECT_EQ('\xBF', bytes[47]);
}
