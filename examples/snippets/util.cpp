// INI settings, Base64 and CRC-32: plain calls, usable from any thread.
#include <cstdio>
#include <cstring>

#include "VexloTool/Base64.h"
#include "VexloTool/Crc32.h"
#include "VexloTool/IniFile.h"
#include "VexloTool/Memory.h"

using namespace VexloTool;

int main() {
    CIniFile settings(L"./example.ini");  // relative names resolve against the current folder
    settings.SetIntValue(L"window", L"width", 640);
    settings.SetStringValue(L"window", L"title", L"Example");
    const int width = settings.GetIntValue(L"window", L"width", 0);
    const int changed = settings.ModifyValueIfNotEqual(L"window", L"width", 640, 0);  // 0: equal
    settings.DeleteValue(L"window", L"title");

    const char text[] = "hello";
    int encodedLength = 0, decodedLength = 0;
    char* encoded = convert_to_base64(text, 5, encodedLength);  // "aGVsbG8="
    char* decoded = convert_from_base64(encoded, encodedLength, decodedLength);
    const bool roundTrip = decodedLength == 5 && std::memcmp(decoded, text, 5) == 0;
    ReleaseBuffer(encoded);  // the library's blocks go back to the library
    ReleaseBuffer(decoded);

    CCrc32 crc;
    const unsigned int sum = crc.GetCrc32(reinterpret_cast<const unsigned char*>("123456789"), 9);

    std::printf("width %d, changed %d, base64 %s, crc %08x\n", width, changed,
                roundTrip ? "ok" : "FAILED", sum);
    return width == 640 && changed == 0 && roundTrip && sum == 0xcbf43926u ? 0 : 1;
}
