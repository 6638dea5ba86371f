// profile_text.h: the INI document model of the Linux profile engine (decode,
// parse, edit, encode). Conformance tests: tests/platform/profile_test.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vxp {
namespace profile {

// Lossless UTF-8 <-> wchar_t (UTF-32) conversion: a byte that is not part of
// a valid sequence becomes U+DC80..U+DCFF and turns back into the same byte,
// so untouched lines and odd file names survive a round trip byte for byte.
std::wstring DecodeUtf8(const char* data, size_t size);
std::string EncodeUtf8(const wchar_t* text, size_t length);
// What a caller is shown of decoded text: escaped bytes read as U+FFFD, as a
// UTF-8 conversion on Windows shows them.
void ShowEscapes(std::wstring& text);

enum class Encoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

// One line of the file: its content (leading and trailing blanks included)
// and the terminator after it (CR LF, LF, CR or nothing at the end).
struct Line {
    enum Kind { Blank, Section, Entry };
    Kind kind = Blank;
    size_t begin = 0, end = 0, next = 0;  // content [begin, end), next line at next
    size_t nameBegin = 0, nameEnd = 0;    // trimmed section or key name
    bool hasValue = false;                // Entry: the line has '='
    size_t valueBegin = 0, valueEnd = 0;  // trimmed value
};

// Why hand-written: the packaged INI libraries (inih, iniparser, SimpleIni,
// Boost.PropertyTree) either only read, rewrite the whole file without its
// comments and unknown lines, reject lines without '=' or duplicate keys, or
// know nothing of UTF-16 files, quote stripping and first-match lookup, all
// of which the Win32 semantics need. The model keeps the decoded text and
// edits it in place, so everything a write does not touch stays identical.
class Document {
public:
    // Never fails: every byte sequence is some document (binary noise is a
    // file of unknown lines). Throws only std::bad_alloc.
    static Document Parse(const std::string& bytes);
    std::string Serialize() const;

    Encoding encoding() const { return encoding_; }
    const std::wstring& text() const { return text_; }
    const std::vector<Line>& lines() const { return lines_; }

    // Index of the header line of the first section called `name` (trimmed,
    // compared without regard to case), or npos. The lines before the first
    // header belong to no section.
    size_t FindSection(const wchar_t* name) const;
    // First line of the next section (or lines().size()) after header `section`.
    size_t SectionEnd(size_t section) const;
    // Index of the first entry called `key` in the section, or npos.
    size_t FindEntry(size_t section, const wchar_t* key) const;

    std::wstring Name(const Line& line) const;
    std::wstring Value(const Line& line) const;

    // Edits; each returns false when the document did not change.
    bool Set(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    bool DeleteKey(const wchar_t* section, const wchar_t* key);
    bool DeleteSection(const wchar_t* section);

    static const size_t npos = static_cast<size_t>(-1);

private:
    void Split();
    void Replace(size_t begin, size_t end, const std::wstring& with);
    std::wstring Eol() const;

    Encoding encoding_ = Encoding::Utf8;
    std::wstring text_;
    std::string tail_;  // an odd last byte of a UTF-16 file, kept as it is
    std::vector<Line> lines_;
};

// Profile blanks: tab to carriage return, space and ^Z (an old end-of-file mark).
bool IsBlank(wchar_t c);
// Trims blanks from both ends of [*begin, *end).
void Trim(const wchar_t* text, size_t* begin, size_t* end);
// Case-insensitive equality of two names.
bool SameName(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength);

}  // namespace profile
}  // namespace vxp
