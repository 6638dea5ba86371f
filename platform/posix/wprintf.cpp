// wprintf.cpp: wide-character formatting with the Windows rules (%s wide,
// %S narrow). Conformance tests: tests/platform/wprintf_test.cpp.
#include "vxplatform/wprintf.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// Counts every character and stores those that fit.
class Output {
public:
    Output(wchar_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Put(wchar_t c) {
        if (length_ < capacity_)
            buffer_[length_] = c;
        ++length_;
    }
    void Put(const wchar_t* text, size_t n) {
        const size_t room = length_ < capacity_ ? capacity_ - length_ : 0;
        std::copy(text, text + (n < room ? n : room), buffer_ + length_);
        length_ += n;
    }
    void PutAscii(const char* text, size_t n) {
        for (size_t i = 0; i < n && length_ + i < capacity_; ++i) {
            buffer_[length_ + i] = static_cast<unsigned char>(text[i]);
        }
        length_ += n;
    }
    void Fill(wchar_t c, size_t n) {
        for (size_t i = 0; i < n && length_ + i < capacity_; ++i)
            buffer_[length_ + i] = c;
        length_ += n;
    }
    size_t length() const { return length_; }

private:
    wchar_t* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

enum class Size { None, Char, Short, Long, LongLong, Bits32, Bits64, Pointer, LongDouble };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1;
    Size size = Size::None;
    bool forceNarrow = false;
    bool forceWide = false;
    wchar_t conversion = 0;
};

// Holds the caller's arguments; a va_list cannot be passed on by value and
// used again, so the formatter reads from its own copy.
struct Arguments {
    va_list list;
};

// Width and precision digits saturate, so an absurd width fails on length
// instead of wrapping.
size_t ReadNumber(const wchar_t*& p) {
    size_t value = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (value < static_cast<size_t>(INT_MAX))
            value = value * 10 + static_cast<size_t>(*p - L'0');
        ++p;
    }
    return value < static_cast<size_t>(INT_MAX) ? value : static_cast<size_t>(INT_MAX);
}

void Pad(Output& out, const Directive& d, size_t length, bool before) {
    if (length >= d.width)
        return;
    if (before != !d.left)
        return;
    out.Fill(before && d.zero ? L'0' : L' ', d.width - length);
}

// Decodes one UTF-8 sequence; an invalid byte yields U+FFFD and is skipped.
// Returns the number of bytes consumed, at most `available`.
size_t DecodeUtf8(const unsigned char* s, size_t available, wchar_t& out) {
    const unsigned char lead = s[0];
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    size_t extra;
    uint32_t cp;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07u, min = 0x10000;
    } else {
        out = 0xFFFD;
        return 1;
    }
    if (extra >= available) {
        out = 0xFFFD;
        return 1;
    }
    for (size_t i = 1; i <= extra; ++i) {
        if ((s[i] & 0xC0u) != 0x80u) {
            out = 0xFFFD;
            return 1;
        }
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        out = 0xFFFD;
        return 1;
    }
    out = static_cast<wchar_t>(cp);
    return extra + 1;
}

// Bytes of a narrow string up to its terminator, but never past `limit`
// bytes: with a precision the text need not be terminated.
size_t BoundedLength(const char* s, size_t limit) {
    size_t n = 0;
    while (n < limit && s[n])
        ++n;
    return n;
}

void FormatWideString(Output& out, const Directive& d, const wchar_t* s) {
    if (!s)
        s = L"(null)";
    size_t n = 0;
    const size_t limit = d.precision < 0 ? SIZE_MAX : static_cast<size_t>(d.precision);
    while (n < limit && s[n])
        ++n;
    Pad(out, d, n, true);
    out.Put(s, n);
    Pad(out, d, n, false);
}

void FormatNarrowString(Output& out, const Directive& d, const char* s) {
    if (!s)
        s = "(null)";
    const size_t limit = d.precision < 0 ? SIZE_MAX : static_cast<size_t>(d.precision);
    // Decode up to the precision in characters; each character takes at most
    // four bytes, so only that many bytes are looked at.
    const size_t bytes = BoundedLength(s, limit > SIZE_MAX / 4 ? SIZE_MAX : limit * 4);
    std::wstring text;
    text.reserve(bytes < 256 ? bytes : 256);
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t at = 0;
    while (at < bytes && text.size() < limit) {
        wchar_t c;
        at += DecodeUtf8(p + at, bytes - at, c);
        text.push_back(c);
    }
    Pad(out, d, text.size(), true);
    out.Put(text.data(), text.size());
    Pad(out, d, text.size(), false);
}

void FormatChar(Output& out, const Directive& d, wchar_t c) {
    Pad(out, d, 1, true);
    out.Put(c);
    Pad(out, d, 1, false);
}

void FormatInteger(Output& out, const Directive& d, uint64_t magnitude, bool negative) {
    const wchar_t conv = d.conversion;
    const bool isSigned = conv == L'd' || conv == L'i';
    const unsigned base = conv == L'o' ? 8 : (conv == L'x' || conv == L'X') ? 16 : 10;
    const char* digitSet = conv == L'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char digits[24];
    size_t count = 0;
    // Constant divisors spare a division instruction per digit.
    if (base == 10) {
        for (uint64_t v = magnitude; v != 0; v /= 10)
            digits[count++] = digitSet[v % 10];
    } else if (base == 16) {
        for (uint64_t v = magnitude; v != 0; v >>= 4)
            digits[count++] = digitSet[v & 15];
    } else {
        for (uint64_t v = magnitude; v != 0; v >>= 3)
            digits[count++] = digitSet[v & 7];
    }
    // A zero precision prints no digit for zero (also with '#', as Windows).
    if (magnitude == 0 && d.precision != 0)
        digits[count++] = '0';
    size_t zeros = d.precision > 0 && static_cast<size_t>(d.precision) > count
                       ? static_cast<size_t>(d.precision) - count
                       : 0;
    if (base == 8 && d.alt && magnitude != 0 && zeros == 0 && digits[count - 1] != '0')
        zeros = 1;

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = '-';
    } else if (isSigned && d.plus) {
        prefix[prefixLength++] = '+';
    } else if (isSigned && d.space) {
        prefix[prefixLength++] = ' ';
    } else if (base == 16 && d.alt && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = static_cast<char>(conv);
    }

    size_t length = prefixLength + zeros + count;
    const bool zeroPad = d.zero && !d.left && d.precision < 0;
    if (!d.left && !zeroPad && length < d.width)
        out.Fill(L' ', d.width - length);
    out.PutAscii(prefix, prefixLength);
    if (zeroPad && length < d.width)
        out.Fill(L'0', d.width - length);
    out.Fill(L'0', zeros);
    wchar_t wide[24];
    for (size_t i = 0; i < count; ++i)
        wide[i] = static_cast<unsigned char>(digits[count - 1 - i]);
    out.Put(wide, count);
    if (d.left && length < d.width)
        out.Fill(L' ', d.width - length);
}

void FormatPointer(Output& out, const Directive& d, const void* pointer) {
    static const char kHex[] = "0123456789ABCDEF";
    char digits[2 * sizeof(void*)];
    auto value = reinterpret_cast<uintptr_t>(pointer);
    for (size_t i = sizeof(digits); i > 0; --i, value >>= 4)
        digits[i - 1] = kHex[value & 0xF];
    Pad(out, d, sizeof(digits), true);
    out.PutAscii(digits, sizeof(digits));
    Pad(out, d, sizeof(digits), false);
}

// Windows prints at least three exponent digits (1.5e+003).
void WidenExponent(std::string& text) {
    const size_t e = text.find_first_of("eE");
    if (e == std::string::npos || e + 1 >= text.size())
        return;
    const size_t digitsAt = e + 2;  // past the sign
    const size_t digits = text.size() - digitsAt;
    if (digits < 3)
        text.insert(digitsAt, 3 - digits, '0');
}

// Float conversions go through the C library without the width, so the
// exponent can be widened before padding.
bool FormatFloat(Output& out, const Directive& d, Arguments& args) {
    char cFormat[16];
    size_t n = 0;
    cFormat[n++] = '%';
    if (d.plus)
        cFormat[n++] = '+';
    if (d.space)
        cFormat[n++] = ' ';
    if (d.alt)
        cFormat[n++] = '#';
    cFormat[n++] = '.';
    cFormat[n++] = '*';
    if (d.size == Size::LongDouble)
        cFormat[n++] = 'L';
    cFormat[n++] = static_cast<char>(d.conversion);
    cFormat[n] = '\0';

    const bool hex = d.conversion == L'a' || d.conversion == L'A';
    // Without a precision %a prints the shortest exact form.
    const int precision = d.precision >= 0 ? d.precision : (hex ? -1 : 6);
    long double extended = 0;
    double plain = 0;
    if (d.size == Size::LongDouble) {
        extended = va_arg(args.list, long double);
    } else {
        plain = va_arg(args.list, double);
    }

    std::string text(64, '\0');
    for (;;) {
        const int written = d.size == Size::LongDouble
                                ? std::snprintf(&text[0], text.size(), cFormat, precision, extended)
                                : std::snprintf(&text[0], text.size(), cFormat, precision, plain);
        if (written < 0)
            return false;
        if (static_cast<size_t>(written) < text.size()) {
            text.resize(static_cast<size_t>(written));
            break;
        }
        text.assign(static_cast<size_t>(written) + 1, '\0');
    }

    const bool finite = text.find_first_of("nN") == std::string::npos;  // inf, nan
    if (finite && !hex)
        WidenExponent(text);

    size_t signLength = !text.empty() && (text[0] == '-' || text[0] == '+' || text[0] == ' ');
    if (hex && text.size() >= signLength + 2)
        signLength += 2;  // 0x
    const bool zeroPad = d.zero && !d.left && finite;
    if (!d.left && !zeroPad && text.size() < d.width)
        out.Fill(L' ', d.width - text.size());
    out.PutAscii(text.data(), signLength);
    if (zeroPad && text.size() < d.width)
        out.Fill(L'0', d.width - text.size());
    out.PutAscii(text.data() + signLength, text.size() - signLength);
    if (d.left && text.size() < d.width)
        out.Fill(L' ', d.width - text.size());
    return true;
}

void ReadSigned(const Directive& d, Arguments& args, uint64_t& magnitude, bool& negative) {
    int64_t value;
    switch (d.size) {
        case Size::Char:
            value = static_cast<signed char>(va_arg(args.list, int));
            break;
        case Size::Short:
            value = static_cast<short>(va_arg(args.list, int));
            break;
        case Size::Long:
            value = va_arg(args.list, long);
            break;
        case Size::LongLong:
        case Size::Bits64:
            value = va_arg(args.list, long long);
            break;
        case Size::Pointer:
            value = va_arg(args.list, ptrdiff_t);
            break;
        default:
            value = va_arg(args.list, int);
            break;
    }
    negative = value < 0;
    magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

uint64_t ReadUnsigned(const Directive& d, Arguments& args) {
    switch (d.size) {
        case Size::Char:
            return static_cast<unsigned char>(va_arg(args.list, unsigned int));
        case Size::Short:
            return static_cast<unsigned short>(va_arg(args.list, unsigned int));
        case Size::Long:
            return va_arg(args.list, unsigned long);
        case Size::LongLong:
        case Size::Bits64:
            return va_arg(args.list, unsigned long long);
        case Size::Pointer:
            return va_arg(args.list, size_t);
        default:
            return va_arg(args.list, unsigned int);
    }
}

// Reads the flags, width, precision and size prefix after a '%'. Returns
// false when the format ends inside the directive.
bool ParseDirective(const wchar_t*& p, Directive& d, Arguments& args) {
    for (;; ++p) {
        if (*p == L'-') {
            d.left = true;
        } else if (*p == L'+') {
            d.plus = true;
        } else if (*p == L' ') {
            d.space = true;
        } else if (*p == L'#') {
            d.alt = true;
        } else if (*p == L'0') {
            d.zero = true;
        } else {
            break;
        }
    }
    if (*p == L'*') {
        const int width = va_arg(args.list, int);
        if (width < 0)
            d.left = true;
        d.width = width < 0 ? static_cast<size_t>(-static_cast<long long>(width))
                            : static_cast<size_t>(width);
        ++p;
    } else {
        d.width = ReadNumber(p);
    }
    if (*p == L'.') {
        ++p;
        if (*p == L'*') {
            const int precision = va_arg(args.list, int);
            d.precision = precision < 0 ? -1 : precision;
            ++p;
        } else {
            d.precision = static_cast<int>(ReadNumber(p));
        }
    }
    switch (*p) {
        case L'h':
            ++p;
            d.forceNarrow = true;
            d.size = Size::Short;
            if (*p == L'h') {
                d.size = Size::Char;
                ++p;
            }
            break;
        case L'l':
            ++p;
            d.forceWide = true;
            d.size = Size::Long;
            if (*p == L'l') {
                d.size = Size::LongLong;
                ++p;
            }
            break;
        case L'w':
            ++p;
            d.forceWide = true;
            break;
        case L'L':
            ++p;
            d.size = Size::LongDouble;
            break;
        case L'z':
        case L't':
            ++p;
            d.size = Size::Pointer;
            break;
        case L'j':
            ++p;
            d.size = Size::Bits64;
            break;
        case L'I':
            // I64 and I32 are prefixes; I alone is pointer sized. I followed
            // by other digits is not a prefix: the I is printed as it stands.
            if (p[1] == L'6' && p[2] == L'4') {
                p += 3;
                d.size = Size::Bits64;
            } else if (p[1] == L'3' && p[2] == L'2') {
                p += 3;
                d.size = Size::Bits32;
            } else if (p[1] < L'0' || p[1] > L'9') {
                ++p;
                d.size = Size::Pointer;
            }
            break;
        default:
            break;
    }
    d.conversion = *p;
    return *p != L'\0';
}

// Returns false when the text cannot be formatted.
bool Format(Output& out, const wchar_t* format, Arguments& args) {
    const wchar_t* p = format;
    while (*p) {
        if (*p != L'%') {
            const wchar_t* run = p;
            while (*p && *p != L'%')
                ++p;
            out.Put(run, static_cast<size_t>(p - run));
            continue;
        }
        ++p;
        Directive d;
        if (!ParseDirective(p, d, args))
            break;  // a lone '%' at the end prints nothing
        ++p;
        // L applies to floats only; with an integer conversion it is ignored.
        const Size intSize = d.size == Size::LongDouble ? Size::None : d.size;
        switch (d.conversion) {
            case L'd':
            case L'i': {
                Directive di = d;
                di.size = intSize;
                uint64_t magnitude;
                bool negative;
                ReadSigned(di, args, magnitude, negative);
                FormatInteger(out, di, magnitude, negative);
                break;
            }
            case L'u':
            case L'o':
            case L'x':
            case L'X': {
                Directive du = d;
                du.size = intSize;
                FormatInteger(out, du, ReadUnsigned(du, args), false);
                break;
            }
            case L'c':
            case L'C': {
                const bool narrow = d.forceNarrow || (d.conversion == L'C' && !d.forceWide);
                const int value = va_arg(args.list, int);
                wchar_t c = static_cast<wchar_t>(value);
                if (narrow) {
                    const unsigned char byte = static_cast<unsigned char>(value);
                    c = byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(0xFFFD);
                }
                FormatChar(out, d, c);
                break;
            }
            case L's':
            case L'S': {
                const bool narrow = d.forceNarrow || (d.conversion == L'S' && !d.forceWide);
                if (narrow) {
                    FormatNarrowString(out, d, va_arg(args.list, const char*));
                } else {
                    FormatWideString(out, d, va_arg(args.list, const wchar_t*));
                }
                break;
            }
            case L'p':
                FormatPointer(out, d, va_arg(args.list, void*));
                break;
            case L'e':
            case L'E':
            case L'f':
            case L'F':
            case L'g':
            case L'G':
            case L'a':
            case L'A':
                if (!FormatFloat(out, d, args))
                    return false;
                break;
            case L'n':
                // Writing through an argument pointer is refused.
                return false;
            case L'%':
                out.Put(L'%');
                break;
            default:
                // An unknown conversion prints its character, as Windows does.
                out.Put(d.conversion);
                break;
        }
    }
    return true;
}

int Run(wchar_t* buffer, size_t count, const wchar_t* format, va_list args, size_t& length) {
    if (!format || (!buffer && count != 0)) {
        errno = EINVAL;
        return -1;
    }
    Output out(buffer, count);
    Arguments copy;
    va_copy(copy.list, args);
    const bool ok = Format(out, format, copy);
    va_end(copy.list);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    if (out.length() > static_cast<size_t>(INT_MAX)) {
        errno = EOVERFLOW;
        return -1;
    }
    length = out.length();
    return 0;
}

}  // namespace

int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
    size_t length = 0;
    if (Run(buffer, count, format, args, length) != 0)
        return -1;
    if (length < count)
        buffer[length] = L'\0';
    return length <= count ? static_cast<int>(length) : -1;
}

int _vscwprintf(const wchar_t* format, va_list args) {
    size_t length = 0;
    if (Run(nullptr, 0, format, args, length) != 0)
        return -1;
    return static_cast<int>(length);
}
