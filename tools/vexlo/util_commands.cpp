// util_commands.cpp: crc32, base64 and ini, the commands over the library's
// utilities. They need no window thread.
#include <cstdio>
#include <cstring>
#include <limits>

#include "VexloTool/Base64.h"
#include "VexloTool/Crc32.h"
#include "VexloTool/IniFile.h"
#include "VexloTool/Memory.h"
#include "tools/vexlo/vexlo.h"

using namespace VexloTool;

namespace vexlo {

namespace {

const char kCrc32Help[] =
    "usage: vexlo crc32 FILE...\n"
    "Prints the CRC-32 (IEEE 802.3, as zlib) of each file as 8 hex digits and its name.\n"
    "A file that cannot be read is reported and the others are still summed.\n"
    "Each file is read whole into memory; at most 4 GiB - 1 bytes.\n\n";

const char kBase64Help[] =
    "usage: vexlo base64 [-d] FILE\n"
    "Encodes FILE (\"-\": standard input) as Base64 (standard alphabet, '=' padding)\n"
    "on one line, or with -d decodes it to standard output. When decoding, white\n"
    "space is skipped; any other character outside the alphabet fails (error 13).\n\n";

const char kIniHelp[] =
    "usage: vexlo ini get FILE SECTION KEY\n"
    "       vexlo ini set FILE SECTION KEY VALUE\n"
    "       vexlo ini delete FILE SECTION KEY\n"
    "get prints the value (a missing file is error 2, a missing key error 1168).\n"
    "set writes it (creating the file), delete removes the key. Section and key\n"
    "names are case-insensitive; values are trimmed. Line breaks in any of them,\n"
    "'=' in a key, or a key starting with '[' or ';' are refused (error 87).\n\n";

std::string ReadInput(const std::string& path) {
    if (path != "-")
        return ReadWholeFile(path);
    SetBinary(stdin);
    std::string data;
    char buffer[65536];
    unsigned long error = 0;
    for (;;) {
        const long n = ReadStandardInput(buffer, sizeof(buffer), error);
        if (n < 0)
            Fail(error, "standard input");
        if (n == 0)
            return data;
        data.append(buffer, static_cast<size_t>(n));
    }
}

// Releases a library block when it goes out of scope.
struct LibraryBuffer {
    char* data;
    ~LibraryBuffer() { ReleaseBuffer(data); }
};

bool IsBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The library stops at the first character outside the alphabet; a file
// holding one would be decoded short without a word, so it is refused here.
std::string CleanBase64(const std::string& text) {
    std::string clean;
    size_t padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++padding;
        } else if (!IsBase64Letter(c) || padding) {
            Fail(ERROR_INVALID_DATA, "not Base64 text");
        }
        clean.push_back(c);
    }
    const size_t letters = clean.size() - padding;
    if (padding > 2 || letters % 4 == 1 || (padding && clean.size() % 4 != 0))
        Fail(ERROR_INVALID_DATA, "not Base64 text");
    return clean.substr(0, letters);
}

}  // namespace

int CmdCrc32(const std::vector<std::string>& args) {
    if (WantsHelp(args, kCrc32Help))
        return kExitOk;
    const Options options = ParseOptions(args, {}, {});
    ExpectPositional(options, 1, std::numeric_limits<size_t>::max());
    int status = kExitOk;
    CCrc32 crc;
    for (const std::string& path : options.positional) {
        try {
            const std::string data = ReadWholeFile(path);
            if (data.size() > std::numeric_limits<unsigned int>::max())
                Fail(kErrorFileTooLarge, path);
            const unsigned int sum =
                crc.GetCrc32(reinterpret_cast<const unsigned char*>(data.data()),
                             static_cast<unsigned int>(data.size()));
            std::printf("%08x  %s\n", sum, path.c_str());
        } catch (const Failure& failure) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", ErrorLine("crc32", failure.error, failure.detail).c_str());
            status = kExitFailed;
        }
    }
    return status;
}

int CmdBase64(const std::vector<std::string>& args) {
    if (WantsHelp(args, kBase64Help))
        return kExitOk;
    const Options options = ParseOptions(args, {"-d", "--decode"}, {});
    ExpectPositional(options, 1, 1);
    const std::string input = ReadInput(options.positional[0]);
    if (input.size() > static_cast<size_t>(std::numeric_limits<int>::max() / 4 * 3 - 4))
        Fail(kErrorFileTooLarge, options.positional[0]);
    int length = 0;
    if (options.Has("-d") || options.Has("--decode")) {
        const std::string text = CleanBase64(input);
        LibraryBuffer decoded{
            convert_from_base64(text.data(), static_cast<int>(text.size()), length)};
        SetBinary(stdout);
        WriteAll(stdout, decoded.data, static_cast<size_t>(length));
    } else {
        LibraryBuffer encoded{
            convert_to_base64(input.data(), static_cast<int>(input.size()), length)};
        WriteAll(stdout, encoded.data, static_cast<size_t>(length));
        WriteAll(stdout, "\n", 1);
    }
    if (std::fflush(stdout) != 0)
        Fail(kErrorWriteFault, "cannot write the output");
    return kExitOk;
}

namespace {

// The stored text, or false when the key is missing: two different defaults
// both coming back tell a missing key from a stored value.
bool ReadIniValue(CIniFile& ini, const std::wstring& section, const std::wstring& key,
                  std::wstring& value) {
    const wchar_t* kMissingA = L"\x1vexlo-missing-a\x1";
    const wchar_t* kMissingB = L"\x1vexlo-missing-b\x1";
    wchar_t* first = ini.GetStringValue(section.c_str(), key.c_str(), kMissingA);
    std::wstring a = first ? first : L"";
    CIniFile::ReleaseString(first);
    if (a != kMissingA) {
        value = a;
        return true;
    }
    wchar_t* second = ini.GetStringValue(section.c_str(), key.c_str(), kMissingB);
    std::wstring b = second ? second : L"";
    CIniFile::ReleaseString(second);
    value = b;
    return b != kMissingB;
}

std::wstring Trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

}  // namespace

int CmdIni(const std::vector<std::string>& args) {
    if (WantsHelp(args, kIniHelp))
        return kExitOk;
    const Options options = ParseOptions(args, {}, {});
    if (options.positional.empty())
        UsageError("missing action (get, set or delete)");
    const std::string action = options.positional[0];
    if (action == "set")
        ExpectPositional(options, 5, 5);
    else if (action == "get" || action == "delete")
        ExpectPositional(options, 4, 4);
    else
        UsageError("unknown action " + action);
    const std::string& path = options.positional[1];
    const std::wstring section = Widen(options.positional[2]);
    const std::wstring key = Widen(options.positional[3]);
    CIniFile ini(FullPath(Widen(path)).c_str());

    if (action == "get") {
        // The profile functions read a missing file as empty; a script
        // asking for a value from a file that is not there wants to know.
        std::fclose(OpenFile(path, "rb"));
        std::wstring value;
        if (!ReadIniValue(ini, section, key, value))
            Fail(kErrorNotFound, "[" + options.positional[2] + "] " + options.positional[3]);
        std::printf("%s\n", Narrow(value).c_str());
        return kExitOk;
    }

    // Writes report failure only through the last error; the value read
    // back is what tells whether it is stored.
    const bool set = action == "set";
    const std::wstring value = set ? Widen(options.positional[4]) : std::wstring();
    SetLastError(ERROR_SUCCESS);
    if (set)
        ini.SetStringValue(section.c_str(), key.c_str(), value.c_str());
    else
        ini.DeleteValue(section.c_str(), key.c_str());
    const DWORD writeError = GetLastError();
    std::wstring stored;
    const bool present = ReadIniValue(ini, section, key, stored);
    const bool ok = set ? present && stored == Trimmed(value) : !present;
    if (!ok)
        Fail(writeError ? writeError : kErrorWriteFault, path);
    return kExitOk;
}

}  // namespace vexlo
