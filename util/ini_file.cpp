// ini_file.cpp: CIniFile, typed INI access over the private-profile functions.
#include "VexloTool/IniFile.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <cwchar>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "VexloTool/Memory.h"
#include "util/ini_file_name.h"
#include "vxplatform.h"

namespace VexloTool {

namespace {

// What the profile service's string read returns at most, terminator included.
constexpr DWORD kStringCapacity = 2048;

// ---- The file name: an immutable, reference-counted block; copies share it.

struct NameHeader {
    explicit NameHeader(long initial) : refs(initial) {}
    std::atomic<long> refs;
};

NameHeader* HeaderOf(wchar_t* chars) {
    return reinterpret_cast<NameHeader*>(reinterpret_cast<char*>(chars) - sizeof(NameHeader));
}

wchar_t* NewName(const wchar_t* text, size_t length) {
    void* block = ::operator new(sizeof(NameHeader) + (length + 1) * sizeof(wchar_t));
    new (block) NameHeader(1);
    wchar_t* chars = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + sizeof(NameHeader));
    if (length)
        std::memcpy(chars, text, length * sizeof(wchar_t));
    chars[length] = 0;
    return chars;
}

wchar_t* NewName(const wchar_t* text) {
    if (!text)
        text = L"";
    return NewName(text, std::wcslen(text));
}

void AddRef(wchar_t* chars) {
    HeaderOf(chars)->refs.fetch_add(1, std::memory_order_relaxed);
}

void Release(wchar_t* chars) {
    NameHeader* header = HeaderOf(chars);
    if (header->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        header->~NameHeader();
        ::operator delete(header);
    }
}

// ---- Formats and conversions, independent of the process locale.

std::wstring Widen(const char* begin, const char* end) {
    return std::wstring(begin, end);
}

std::wstring FormatInt(int value) {
    char text[16];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    return Widen(text, r.ptr);
}

// "%.2f" of the value widened to double: fixed, two decimals, correctly
// rounded, always a full stop.
std::wstring FormatFloat(float value) {
    char text[64];
    std::to_chars_result r = std::to_chars(text, text + sizeof text, static_cast<double>(value),
                                           std::chars_format::fixed, 2);
    return Widen(text, r.ptr);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The size of a decimal number's value as a power of ten (position of the
// first non-zero digit plus the exponent), to tell overflow from underflow.
long long DecimalMagnitude(const char* begin, const char* end) {
    long long integerDigits = 0, leadingZeros = 0;
    bool dot = false, nonZero = false;
    const char* p = begin;
    for (; p < end && (IsDigit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            dot = true;
            continue;
        }
        if (!dot)
            ++integerDigits;
        if (!nonZero && *p == '0') {
            ++leadingZeros;
        } else {
            nonZero = true;
        }
    }
    if (!nonZero)
        return std::numeric_limits<long long>::min();
    long long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = p < end && *p == '-';
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        for (; p < end && IsDigit(*p); ++p) {
            if (exponent < 1000000000)
                exponent = exponent * 10 + (*p - '0');
        }
        if (negative)
            exponent = -exponent;
    }
    return integerDigits - leadingZeros + exponent;
}

// wcstod in the C locale: leading white space, a sign, then a decimal or
// hexadecimal number, "inf", "infinity" or "nan"; 0 when nothing converts;
// out of range gives infinity or 0 as wcstod's HUGE_VAL and underflow do.
double ParseDouble(const wchar_t* text) {
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r'))
        ++text;
    std::string ascii;
    for (; *text > 0 && *text < 0x80; ++text)
        ascii.push_back(static_cast<char>(*text));
    const char* p = ascii.data();
    const char* end = p + ascii.size();
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-'))
        negative = *p++ == '-';
    double value = 0;
    if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        std::from_chars_result r = std::from_chars(p + 2, end, value, std::chars_format::hex);
        if (r.ec == std::errc::result_out_of_range)
            value = std::numeric_limits<double>::infinity();  // hex underflow is not reported
        else if (r.ec != std::errc())
            value = 0;  // "0x" alone: the 0 converts
    } else {
        std::from_chars_result r = std::from_chars(p, end, value, std::chars_format::general);
        if (r.ec == std::errc::result_out_of_range)
            value = DecimalMagnitude(p, r.ptr) > 0 ? std::numeric_limits<double>::infinity() : 0;
        else if (r.ec != std::errc())
            value = 0;
    }
    return negative ? -value : value;
}

// ---- Input the file format cannot carry.

bool HasLineBreak(const wchar_t* text) {
    for (; *text; ++text) {
        if (*text == L'\r' || *text == L'\n')
            return true;
    }
    return false;
}

bool IsBlank(wchar_t c) {
    return (c >= L'\t' && c <= L'\r') || c == L' ' || c == 0x1A;
}

const wchar_t* SkipBlanks(const wchar_t* text) {
    while (IsBlank(*text))
        ++text;
    return text;
}

// Names that address exactly one key and survive a round trip through the
// file. Empty names are refused too: Windows may crash on them.
bool WritableNames(const wchar_t* section, const wchar_t* key) {
    if (!section || !key)
        return false;
    if (!*SkipBlanks(section) || HasLineBreak(section))
        return false;
    const wchar_t* keyStart = SkipBlanks(key);
    if (!*keyStart || *keyStart == L'[' || *keyStart == L';')
        return false;
    return !HasLineBreak(key) && !std::wcschr(key, L'=');
}

// Frees a string of GetStringValue on scope exit.
class StringHolder {
public:
    explicit StringHolder(wchar_t* text) : text_(text) {}
    StringHolder(const StringHolder&) = delete;
    StringHolder& operator=(const StringHolder&) = delete;
    ~StringHolder() { CIniFile::ReleaseString(text_); }
    const wchar_t* text() const { return text_ ? text_ : L""; }

private:
    wchar_t* text_;
};

// Whether the file now holds the value. A refused write (input the format
// cannot carry) reports ERROR_INVALID_PARAMETER, a failed one the profile
// service's error, through GetLastError.
bool Write(const wchar_t* fileName, const wchar_t* section, const wchar_t* key,
           const wchar_t* value) {
    if (!WritableNames(section, key) || (value && HasLineBreak(value))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Creating a missing file (empty, then given its byte order mark) must
    // not interleave with another object's write: that write would fill the
    // empty file as ANSI, and the mark would then overwrite its first bytes.
    static std::mutex creation;
    std::lock_guard<std::mutex> hold(creation);
    if (value)
        VxPrepareUnicodeProfile(fileName);
    return WritePrivateProfileStringW(section, key, value, fileName) != FALSE;
}

}  // namespace

CIniFile::CIniFile(const wchar_t* fileName) : m_fileName(NewName(fileName)) {}

CIniFile::CIniFile(const CIniFile& other) : m_fileName(other.m_fileName) {
    AddRef(m_fileName);
}

CIniFile& CIniFile::operator=(const CIniFile& other) {
    AddRef(other.m_fileName);
    Release(m_fileName);
    m_fileName = other.m_fileName;
    return *this;
}

CIniFile::~CIniFile() {
    Release(m_fileName);
}

void CIniFile::SetFileName(const wchar_t* fileName) {
    wchar_t* name = NewName(fileName);
    Release(m_fileName);
    m_fileName = name;
}

void CIniFile::SetDefaultName() {
    // Grow past MAX_PATH as long as the path comes back truncated, so a long
    // path is neither cut nor written beyond the buffer.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(NULL, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            SetFileName(L"");
            return;
        }
        if (length < path.size()) {
            SetFileName(detail::IniNameFor(std::wstring(path.data(), length)).c_str());
            return;
        }
        path.resize(path.size() * 2);
    }
}

const wchar_t* CIniFile::GetFileName() const {
    return m_fileName;
}

int CIniFile::GetIntValue(const wchar_t* section, const wchar_t* key, int defaultValue) {
    if (!section || !key)
        return defaultValue;
    return static_cast<int>(GetPrivateProfileIntW(section, key, defaultValue, m_fileName));
}

void CIniFile::SetIntValue(const wchar_t* section, const wchar_t* key, int value) {
    Write(m_fileName, section, key, FormatInt(value).c_str());
}

float CIniFile::GetFloatValue(const wchar_t* section, const wchar_t* key, float defaultValue) {
    StringHolder stored(GetStringValue(section, key, FormatFloat(defaultValue).c_str()));
    return static_cast<float>(ParseDouble(stored.text()));
}

void CIniFile::SetFloatValue(const wchar_t* section, const wchar_t* key, float value) {
    Write(m_fileName, section, key, FormatFloat(value).c_str());
}

void CIniFile::SetStringValue(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    Write(m_fileName, section, key, value);
}

wchar_t* CIniFile::GetStringValue(const wchar_t* section, const wchar_t* key,
                                  const wchar_t* defaultValue) {
    std::vector<wchar_t> buffer(kStringCapacity, L'\0');
    size_t length;
    if (!section || !key) {
        // No single key is named: the default, cut as a read would cut it.
        const wchar_t* text = defaultValue ? defaultValue : L"";
        length = std::min<size_t>(std::wcslen(text), kStringCapacity - 1);
        std::memcpy(buffer.data(), text, length * sizeof(wchar_t));
    } else {
        length = GetPrivateProfileStringW(section, key, defaultValue, buffer.data(),
                                          kStringCapacity, m_fileName);
    }
    if (length == 0)
        return nullptr;
    wchar_t* copy = static_cast<wchar_t*>(
        AllocateBuffer(static_cast<unsigned int>((length + 1) * sizeof(wchar_t))));
    std::memcpy(copy, buffer.data(), length * sizeof(wchar_t));
    copy[length] = 0;
    return copy;
}

void CIniFile::ReleaseString(wchar_t* text) {
    ReleaseBuffer(text);
}

int CIniFile::ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key, int value,
                                    int defaultValue) {
    if (GetIntValue(section, key, defaultValue) == value)
        return 0;
    return Write(m_fileName, section, key, FormatInt(value).c_str()) ? 1 : 0;
}

int CIniFile::ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key,
                                    const wchar_t* value, const wchar_t* defaultValue) {
    StringHolder stored(GetStringValue(section, key, defaultValue));
    if (!value)
        throw std::system_error(static_cast<int>(E_FAIL), std::system_category(),
                                "CIniFile::ModifyValueIfNotEqual: null value");
    if (std::wcscmp(stored.text(), value) == 0)
        return 0;
    return Write(m_fileName, section, key, value) ? 1 : 0;
}

int CIniFile::ModifyValueIfNotEqual(const wchar_t* section, const wchar_t* key, float value,
                                    float defaultValue) {
    StringHolder stored(GetStringValue(section, key, FormatFloat(defaultValue).c_str()));
    std::wstring text = FormatFloat(value);
    if (text == stored.text())
        return 0;
    return Write(m_fileName, section, key, text.c_str()) ? 1 : 0;
}

void CIniFile::DeleteValue(const wchar_t* section, const wchar_t* key) {
    Write(m_fileName, section, key, nullptr);
}

}  // namespace VexloTool
