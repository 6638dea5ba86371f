// parse_header_fuzz.cpp: libFuzzer target of CHttpClient::ParseHeader: any
// header block splits without a crash into entries holding neither line
// breaks nor the name separator, and no blank line is left behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "VexloTool/HttpClient.h"

namespace {

class Probe : public VexloTool::CHttpClient {
public:
    void Parse(const std::wstring& raw) {
        m_rawRspHeader = raw;
        ParseHeader();
    }
    const std::wstring& Raw() const { return m_rawRspHeader; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes as Latin-1 characters: header blocks are 8-bit text.
    const std::wstring raw(data, data + size);
    Probe probe;
    probe.Parse(raw);
    if (probe.Raw().find(L"\r\n\r\n") != std::wstring::npos)
        abort();
    for (int i = 0; i < probe.GetRspHeaderCount(); ++i) {
        const VexloTool::tagHttpHeader header = probe.GetRspHeader(i);
        const std::wstring name = header.name, value = header.value;
        if (name.find(L"\r\n") != std::wstring::npos || value.find(L"\r\n") != std::wstring::npos ||
            name.find(L": ") != std::wstring::npos || value.find(L": ") != std::wstring::npos ||
            header.modifiers != 0xA0000000u)
            abort();
    }
    if (probe.GetRspHeader(probe.GetRspHeaderCount()).name != nullptr)
        abort();
    return 0;
}
