// profile_text.cpp: decoding, parsing, editing and encoding of INI documents
// for the Linux profile engine. Conformance tests: tests/platform/profile_test.cpp.
#include "profile_text.h"

#include <cstdint>
#include <locale.h>
#include <wctype.h>

static_assert(sizeof(wchar_t) == 4, "the Linux layer keeps text as UTF-32");

namespace vxp {
namespace profile {

namespace {

const wchar_t kEscapeBase = 0xDC00;  // escaped byte b reads as U+DC00 + b (b >= 0x80)
const wchar_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at data[0..size), or 0.
size_t ValidSequence(const unsigned char* data, size_t size, wchar_t* out) {
    unsigned char c = data[0];
    if (c < 0x80) {
        *out = c;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    wchar_t value;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        value = c & 0x0F;
        if (c == 0xE0)
            low = 0xA0;  // no overlong forms
        if (c == 0xED)
            high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        value = c & 0x07;
        if (c == 0xF0)
            low = 0x90;
        if (c == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (size < length || data[1] < low || data[1] > high)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(data[i]))
            return 0;
        value = (value << 6) | (data[i] & 0x3F);
    }
    *out = value;
    return length;
}

void AppendUtf8(std::string& out, wchar_t c) {
    if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
        out.push_back(static_cast<char>(c - kEscapeBase));
        return;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF || c < 0)
        c = kReplacement;
    uint32_t u = static_cast<uint32_t>(c);
    if (u < 0x80) {
        out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (u >> 6)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (u >> 12)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (u >> 18)));
        out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
}

std::wstring DecodeUtf16(const unsigned char* data, size_t units, bool bigEndian) {
    std::wstring text;
    text.reserve(units);
    auto unit = [&](size_t i) -> wchar_t {
        const unsigned char* p = data + 2 * i;
        return bigEndian ? static_cast<wchar_t>((p[0] << 8) | p[1])
                         : static_cast<wchar_t>(p[0] | (p[1] << 8));
    };
    for (size_t i = 0; i < units; ++i) {
        wchar_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            wchar_t d = unit(i + 1);
            if (d >= 0xDC00 && d <= 0xDFFF) {
                text.push_back(0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
                ++i;
                continue;
            }
        }
        // Lone surrogates stay as they are, so the file is written back unchanged.
        text.push_back(c);
    }
    return text;
}

void AppendUnit(std::string& out, uint32_t unit, bool bigEndian) {
    char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    if (bigEndian) {
        out.push_back(high);
        out.push_back(low);
    } else {
        out.push_back(low);
        out.push_back(high);
    }
}

std::string EncodeUtf16(const std::wstring& text, bool bigEndian) {
    std::string out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        uint32_t u = static_cast<uint32_t>(c);
        if (u > 0x10FFFF)
            u = kReplacement;
        if (u < 0x10000) {
            AppendUnit(out, u, bigEndian);
        } else {
            u -= 0x10000;
            AppendUnit(out, 0xD800 + (u >> 10), bigEndian);
            AppendUnit(out, 0xDC00 + (u & 0x3FF), bigEndian);
        }
    }
    return out;
}

// Case folding with a locale object of its own, so a host's setlocale()
// changes nothing; plain ASCII folding if the C.UTF-8 locale is missing.
locale_t FoldingLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

wchar_t Fold(wchar_t c) {
    if (c < 0x80)
        return (c >= L'a' && c <= L'z') ? c - 0x20 : c;
    locale_t locale = FoldingLocale();
    return locale ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), locale)) : c;
}

}  // namespace

std::wstring DecodeUtf8(const char* data, size_t size) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    std::wstring text;
    text.reserve(size);
    size_t i = 0;
    while (i < size) {
        wchar_t c;
        size_t length = ValidSequence(bytes + i, size - i, &c);
        if (length == 0) {
            text.push_back(kEscapeBase + bytes[i]);
            ++i;
        } else {
            text.push_back(c);
            i += length;
        }
    }
    return text;
}

std::string EncodeUtf8(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        AppendUtf8(out, text[i]);
    return out;
}

void ShowEscapes(std::wstring& text) {
    for (wchar_t& c : text) {
        if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF)
            c = kReplacement;
    }
}

bool IsBlank(wchar_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20;
}

void Trim(const wchar_t* text, size_t* begin, size_t* end) {
    while (*begin < *end && IsBlank(text[*begin]))
        ++*begin;
    while (*end > *begin && IsBlank(text[*end - 1]))
        --*end;
}

bool SameName(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
    if (aLength != bLength)
        return false;
    for (size_t i = 0; i < aLength; ++i) {
        if (a[i] != b[i] && Fold(a[i]) != Fold(b[i]))
            return false;
    }
    return true;
}

Document Document::Parse(const std::string& bytes) {
    Document doc;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t size = bytes.size();
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        doc.encoding_ = Encoding::Utf8Bom;
        doc.text_ = DecodeUtf8(bytes.data() + 3, size - 3);
    } else if (size >= 2 &&
               ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
        bool bigEndian = data[0] == 0xFE;
        doc.encoding_ = bigEndian ? Encoding::Utf16Be : Encoding::Utf16Le;
        size_t units = (size - 2) / 2;
        doc.text_ = DecodeUtf16(data + 2, units, bigEndian);
        doc.tail_.assign(bytes, 2 + units * 2, std::string::npos);
    } else {
        doc.encoding_ = Encoding::Utf8;
        doc.text_ = DecodeUtf8(bytes.data(), size);
    }
    doc.Split();
    return doc;
}

std::string Document::Serialize() const {
    std::string out;
    switch (encoding_) {
        case Encoding::Utf8:
            out = EncodeUtf8(text_.data(), text_.size());
            break;
        case Encoding::Utf8Bom:
            out = "\xEF\xBB\xBF" + EncodeUtf8(text_.data(), text_.size());
            break;
        case Encoding::Utf16Le:
            out = "\xFF\xFE" + EncodeUtf16(text_, false);
            break;
        case Encoding::Utf16Be:
            out = "\xFE\xFF" + EncodeUtf16(text_, true);
            break;
    }
    return out + tail_;
}

void Document::Split() {
    lines_.clear();
    const wchar_t* t = text_.data();
    size_t size = text_.size();
    size_t pos = 0;
    while (pos < size) {
        Line line;
        line.begin = pos;
        while (pos < size && t[pos] != L'\r' && t[pos] != L'\n')
            ++pos;
        line.end = pos;
        if (pos < size)
            pos += (t[pos] == L'\r' && pos + 1 < size && t[pos + 1] == L'\n') ? 2 : 1;
        line.next = pos;

        size_t b = line.begin, e = line.end;
        Trim(t, &b, &e);
        if (b == e) {
            line.kind = Line::Blank;
        } else {
            size_t close = e;
            if (t[b] == L'[') {
                // The name runs to the last ']' on the line; without one the
                // line is an ordinary entry, as on Windows.
                for (close = e; close > b + 1 && t[close - 1] != L']'; --close) {
                }
                close = close > b + 1 ? close - 1 : e;
            }
            if (close != e) {
                line.kind = Line::Section;
                line.nameBegin = b + 1;
                line.nameEnd = close;
                Trim(t, &line.nameBegin, &line.nameEnd);
            } else {
                line.kind = Line::Entry;
                size_t equals = b;
                while (equals < e && t[equals] != L'=')
                    ++equals;
                line.nameBegin = b;
                line.nameEnd = equals;
                Trim(t, &line.nameBegin, &line.nameEnd);
                if (equals < e) {
                    line.hasValue = true;
                    line.valueBegin = equals + 1;
                    line.valueEnd = e;
                    Trim(t, &line.valueBegin, &line.valueEnd);
                }
            }
        }
        lines_.push_back(line);
    }
}

size_t Document::FindSection(const wchar_t* name) const {
    size_t b = 0, e = std::char_traits<wchar_t>::length(name);
    Trim(name, &b, &e);
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Line::Section &&
            SameName(text_.data() + line.nameBegin, line.nameEnd - line.nameBegin, name + b, e - b))
            return i;
    }
    return npos;
}

size_t Document::SectionEnd(size_t section) const {
    size_t i = section + 1;
    while (i < lines_.size() && lines_[i].kind != Line::Section)
        ++i;
    return i;
}

size_t Document::FindEntry(size_t section, const wchar_t* key) const {
    size_t b = 0, e = std::char_traits<wchar_t>::length(key);
    Trim(key, &b, &e);
    size_t end = SectionEnd(section);
    for (size_t i = section + 1; i < end; ++i) {
        const Line& line = lines_[i];
        if (line.kind == Line::Entry &&
            SameName(text_.data() + line.nameBegin, line.nameEnd - line.nameBegin, key + b, e - b))
            return i;
    }
    return npos;
}

std::wstring Document::Name(const Line& line) const {
    return text_.substr(line.nameBegin, line.nameEnd - line.nameBegin);
}

std::wstring Document::Value(const Line& line) const {
    return text_.substr(line.valueBegin, line.valueEnd - line.valueBegin);
}

std::wstring Document::Eol() const {
    for (const Line& line : lines_) {
        if (line.next > line.end)
            return text_.substr(line.end, line.next - line.end);
    }
    return L"\r\n";
}

void Document::Replace(size_t begin, size_t end, const std::wstring& with) {
    text_.replace(begin, end - begin, with);
    Split();
}

bool Document::Set(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    while (IsBlank(*value))
        ++value;
    size_t valueLength = std::char_traits<wchar_t>::length(value);
    std::wstring eol = Eol();

    size_t s = FindSection(section);
    if (s == npos) {
        size_t b = 0, e = std::char_traits<wchar_t>::length(section);
        Trim(section, &b, &e);
        size_t kb = 0, ke = std::char_traits<wchar_t>::length(key);
        Trim(key, &kb, &ke);
        std::wstring add;
        if (!text_.empty() && text_.back() != L'\n' && text_.back() != L'\r')
            add = eol;
        add += L'[';
        add.append(section + b, e - b);
        add += L']';
        add += eol;
        add.append(key + kb, ke - kb);
        add += L'=';
        add.append(value, valueLength);
        add += eol;
        Replace(text_.size(), text_.size(), add);
        return true;
    }

    size_t entry = FindEntry(s, key);
    if (entry != npos) {
        const Line& line = lines_[entry];
        if (!line.hasValue) {
            Replace(line.nameEnd, line.nameEnd, L"=" + std::wstring(value, valueLength));
            return true;
        }
        if (text_.compare(line.valueBegin, line.valueEnd - line.valueBegin, value, valueLength) ==
            0)
            return false;
        Replace(line.valueBegin, line.valueEnd, std::wstring(value, valueLength));
        return true;
    }

    // A new key goes after the section's last non-blank line.
    size_t last = s;
    size_t end = SectionEnd(s);
    for (size_t i = s + 1; i < end; ++i) {
        if (lines_[i].kind != Line::Blank)
            last = i;
    }
    size_t kb = 0, ke = std::char_traits<wchar_t>::length(key);
    Trim(key, &kb, &ke);
    std::wstring add(key + kb, ke - kb);
    add += L'=';
    add.append(value, valueLength);
    const Line& after = lines_[last];
    if (after.next == after.end) {
        Replace(after.end, after.end, eol + add);  // the file ended without a line break
    } else {
        Replace(after.next, after.next, add + eol);
    }
    return true;
}

bool Document::DeleteKey(const wchar_t* section, const wchar_t* key) {
    size_t s = FindSection(section);
    if (s == npos)
        return false;
    size_t entry = FindEntry(s, key);
    if (entry == npos)
        return false;
    Replace(lines_[entry].begin, lines_[entry].next, std::wstring());
    return true;
}

bool Document::DeleteSection(const wchar_t* section) {
    size_t s = FindSection(section);
    if (s == npos)
        return false;
    size_t end = SectionEnd(s);
    size_t stop = end < lines_.size() ? lines_[end].begin : text_.size();
    Replace(lines_[s].begin, stop, std::wstring());
    return true;
}

}  // namespace profile
}  // namespace vxp
