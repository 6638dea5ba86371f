// base64_fuzz.cpp: libFuzzer target for the Base64 codec: arbitrary text through the
// exported decoder and every vector engine, checked against the scalar reference and
// for a stable decode -> encode -> decode round trip.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "VexloTool/Base64.h"
#include "VexloTool/Memory.h"
#include "util/base64_kernels.h"

namespace impl = VexloTool::base64_impl;

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "base64 fuzz: %s\n", what);
        std::abort();
    }
}

bool Same(const char* block, int length, const unsigned char* expected, size_t expectedLength) {
    return length >= 0 && static_cast<size_t>(length) == expectedLength &&
           (expectedLength == 0 || std::memcmp(block, expected, expectedLength) == 0) &&
           block[length] == '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data);
    const int length = static_cast<int>(size);

    // The scalar reference over the same text.
    std::vector<unsigned char> reference(static_cast<size_t>(impl::DecodedSize(size)) + 1);
    const size_t referenceLength = impl::DecodeScalar(text, size, reference.data());
    Require(referenceLength <= impl::DecodedSize(size), "reference wrote past its bound");

    // Every engine the processor offers decodes to the same bytes.
    for (impl::Path path : {impl::Path::kScalar, impl::Path::kSsse3, impl::Path::kAvx2}) {
        if (!impl::PathAvailable(path)) {
            continue;
        }
        std::vector<unsigned char> out(static_cast<size_t>(impl::DecodedSize(size)) + 1);
        const size_t n = impl::Decode(text, size, out.data(), path);
        Require(
            n == referenceLength && (n == 0 || std::memcmp(out.data(), reference.data(), n) == 0),
            "vector decoder disagrees with the scalar reference");
    }

    int decodedLength = -1;
    char* decoded = VexloTool::convert_from_base64(text, length, decodedLength);
    Require(Same(decoded, decodedLength, reference.data(), referenceLength),
            "exported decoder disagrees with the scalar reference");

    // decode -> encode -> decode gives the same bytes, and the text is the reference's.
    int textLength = -1;
    char* encoded = VexloTool::convert_to_base64(decoded, decodedLength, textLength);
    std::vector<char> referenceText(static_cast<size_t>(impl::EncodedSize(referenceLength)) + 1);
    const size_t referenceTextLength =
        impl::EncodeScalar(reinterpret_cast<const unsigned char*>(decoded),
                           static_cast<size_t>(decodedLength), referenceText.data());
    Require(Same(encoded, textLength, reinterpret_cast<const unsigned char*>(referenceText.data()),
                 referenceTextLength),
            "exported encoder disagrees with the scalar reference");
    int againLength = -1;
    char* again = VexloTool::convert_from_base64(encoded, textLength, againLength);
    Require(Same(again, againLength, reinterpret_cast<const unsigned char*>(decoded),
                 static_cast<size_t>(decodedLength)),
            "decode -> encode -> decode changed the bytes");

    // The input taken as bytes survives encode -> decode.
    int rawTextLength = -1;
    char* rawText = VexloTool::convert_to_base64(text, length, rawTextLength);
    Require(rawTextLength == static_cast<int>(impl::EncodedSize(size)), "encoded length");
    int rawLength = -1;
    char* raw = VexloTool::convert_from_base64(rawText, rawTextLength, rawLength);
    Require(Same(raw, rawLength, data, size), "encode -> decode changed the bytes");

    VexloTool::ReleaseBuffer(raw);
    VexloTool::ReleaseBuffer(rawText);
    VexloTool::ReleaseBuffer(again);
    VexloTool::ReleaseBuffer(encoded);
    VexloTool::ReleaseBuffer(decoded);
    return 0;
}
