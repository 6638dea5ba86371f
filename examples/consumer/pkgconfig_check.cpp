// Built with nothing but `pkg-config --cflags --libs vexlotool`.
#include <cstdio>
#include <string_view>

#include "VexloTool/Base64.h"
#include "VexloTool/Memory.h"

int main() {
    int length = 0;
    char* text = VexloTool::convert_to_base64("hello", 5, length);
    const bool ok = length == 8 && std::string_view(text) == "aGVsbG8=";
    VexloTool::ReleaseBuffer(text);
    std::printf("pkg-config host: %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
