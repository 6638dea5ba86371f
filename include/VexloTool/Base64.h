/// @file
/// Base64.h: Base64 text (standard alphabet, '=' padding, no line breaks) to and from bytes.
#pragma once

#include "VexloTool/Export.h"

namespace VexloTool {

/// Both functions are reentrant and take no lock. Each returns a new block of
/// outLength + 1 bytes, zero-terminated, that the caller releases with ReleaseBuffer;
/// allocation failure raises std::bad_alloc. A null or empty input, or a negative
/// length, gives an empty result.

/// Encodes `length` bytes (zero bytes included). A text longer than an int can
/// report raises std::bad_alloc.
VEXLOTOOL_API char* convert_to_base64(const char* data, int length, int& outLength);

/// Decodes up to the end, the first '=' or the first character outside the
/// alphabet, whichever comes first; the rest is ignored. Padding is optional.
VEXLOTOOL_API char* convert_from_base64(const char* text, int length, int& outLength);

}  // namespace VexloTool
