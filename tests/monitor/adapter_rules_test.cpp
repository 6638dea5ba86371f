// Tests of the adapter-state rule behind the monitor's adapter query.
#include <gtest/gtest.h>

#include <cstring>

#include "monitor/adapter_rules.h"

namespace {

struct Case {
    DWORD operStatus;
    DWORD type;
    const char* description;
    bool qualifies;
};

TEST(AdapterRules, Table) {
    const Case cases[] = {
        {5, 6, "Intel Ethernet", true},     // operational Ethernet
        {5, 71, "Wireless", true},          // operational Wi-Fi
        {5, 131, "Tunnel adapter", false},  // operational tunnel
        {4, 131, "Tunnel adapter", true},   // connected: any type
        {4, 6, "Dial-up", true},
        {2, 6, "Unplugged", false},                // disconnected
        {0, 6, "Disabled", false},                 // non-operational
        {5, 6, "VMware Virtual Ethernet", false},  // VMware, exact case
        {4, 6, "VMware Network Adapter", false},
        {5, 6, "vmware virtual adapter", true},  // other case qualifies
        {5, 6, "VMWARE", true},
    };
    for (const Case& c : cases) {
        const auto text = reinterpret_cast<const BYTE*>(c.description);
        const DWORD length = static_cast<DWORD>(std::strlen(c.description) + 1);
        EXPECT_EQ(VexloTool::AdapterQualifies(c.operStatus, c.type, text, length), c.qualifies)
            << c.description;
    }
}

// Only the length the row gives is searched.
TEST(AdapterRules, DescriptionLengthBoundsTheSearch) {
    const auto text = reinterpret_cast<const BYTE*>("eth0VMware");
    EXPECT_TRUE(VexloTool::AdapterQualifies(5, 6, text, 4));
    EXPECT_FALSE(VexloTool::AdapterQualifies(5, 6, text, 10));
    EXPECT_TRUE(VexloTool::AdapterQualifies(5, 6, text, 0));
}

}  // namespace
