// base64.cpp: the exported Base64 functions; results live on the module heap (Memory.h).
#include "VexloTool/Base64.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "VexloTool/Memory.h"
#include "util/base64_kernels.h"

namespace VexloTool {

namespace {

struct Releaser {
    void operator()(char* block) const { ReleaseBuffer(block); }
};
using Block = std::unique_ptr<char, Releaser>;

Block Allocate(size_t bytes) {
    return Block(static_cast<char*>(AllocateBuffer(static_cast<unsigned int>(bytes))));
}

base64_impl::Path ChosenPath() {
    static const base64_impl::Path path = base64_impl::BestPath();
    return path;
}

size_t InputLength(const char* data, int length) {
    return data != nullptr && length > 0 ? static_cast<size_t>(length) : 0;
}

}  // namespace

char* convert_to_base64(const char* data, int length, int& outLength) {
    outLength = 0;
    const size_t n = InputLength(data, length);
    // Near 1.6 GB of input the text no longer fits the int length (nor the
    // allocator's size); failing as an allocation beats a wrapped size.
    const uint64_t textLength = base64_impl::EncodedSize(n);
    if (textLength > static_cast<uint64_t>(INT_MAX)) {
        throw std::bad_alloc();
    }
    Block text = Allocate(static_cast<size_t>(textLength) + 1);
    const size_t written = base64_impl::Encode(reinterpret_cast<const unsigned char*>(data), n,
                                               text.get(), ChosenPath());
    text.get()[written] = '\0';
    outLength = static_cast<int>(written);
    return text.release();
}

char* convert_from_base64(const char* text, int length, int& outLength) {
    outLength = 0;
    size_t n = InputLength(text, length);
    // Decoding stops at or before any trailing run of characters outside the alphabet
    // (padding, line ends), so they need no room: for well-formed text the bound is exact.
    while (n > 0 && !base64_impl::InAlphabet(text[n - 1])) {
        --n;
    }
    const size_t bound = static_cast<size_t>(base64_impl::DecodedSize(n));
    Block bytes = Allocate(bound + 1);
    const size_t written =
        base64_impl::Decode(text, n, reinterpret_cast<unsigned char*>(bytes.get()), ChosenPath());
    if (written < bound) {
        // Stopped early: hand out a block of the result's own size.
        Block exact = Allocate(written + 1);
        std::memcpy(exact.get(), bytes.get(), written);
        bytes = std::move(exact);
    }
    bytes.get()[written] = '\0';
    outLength = static_cast<int>(written);
    return bytes.release();
}

}  // namespace VexloTool
