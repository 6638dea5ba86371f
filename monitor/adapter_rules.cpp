// adapter_rules.cpp: see adapter_rules.h.
#include "monitor/adapter_rules.h"

#include <algorithm>
#include <cstring>

namespace VexloTool {
namespace {

constexpr DWORD kOperational = 5;  // IF_OPER_STATUS_OPERATIONAL
constexpr DWORD kConnected = 4;    // IF_OPER_STATUS_CONNECTED
constexpr DWORD kTunnel = 131;     // IF_TYPE_TUNNEL

bool ContainsVmware(const BYTE* text, DWORD length) {
    static const char kVmware[] = "VMware";
    const BYTE* end = text + length;
    return std::search(text, end, kVmware, kVmware + std::strlen(kVmware)) != end;
}

}  // namespace

bool AdapterQualifies(DWORD operStatus, DWORD type, const BYTE* description,
                      DWORD descriptionLength) {
    const bool up = (operStatus == kOperational && type != kTunnel) || operStatus == kConnected;
    return up && !ContainsVmware(description, descriptionLength);
}

}  // namespace VexloTool
