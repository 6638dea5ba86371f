// Conformance tests of the IP Helper subset: GetNetworkParams,
// GetAdaptersInfo (ERROR_BUFFER_OVERFLOW with the size needed) and
// GetIfEntry (operational state, type, description). Adapters with known
// properties come from a network namespace of the test's own.
#include <cstring>
#include <string>
#include <vector>

#include "platform/conformance.h"
#include "support/private_network.h"

namespace {

// The adapter list as the two-call protocol delivers it.
std::vector<char> AdapterList(DWORD* result) {
    ULONG size = 0;
    *result = GetAdaptersInfo(nullptr, &size);
    if (*result != ERROR_BUFFER_OVERFLOW)
        return std::vector<char>();
    EXPECT_GE(size, sizeof(IP_ADAPTER_INFO));
    std::vector<char> buffer(size);
    ULONG tooSmall = size - 1;
    EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &tooSmall),
              ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall, size);
    *result = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    return buffer;
}

const IP_ADAPTER_INFO* FindAdapter(const std::vector<char>& list, const char* name) {
    if (list.empty())
        return nullptr;
    for (auto a = reinterpret_cast<const IP_ADAPTER_INFO*>(list.data()); a; a = a->Next) {
        if (std::strcmp(a->AdapterName, name) == 0)
            return a;
    }
    return nullptr;
}

MIB_IFROW Row(DWORD index) {
    MIB_IFROW row = {};
    row.dwIndex = index;
    EXPECT_EQ(GetIfEntry(&row), NO_ERROR) << index;
    return row;
}

TEST(NetworkParams, SizeQueryThenFill) {
    ULONG size = 0;
    ASSERT_EQ(GetNetworkParams(nullptr, &size), ERROR_BUFFER_OVERFLOW);
    ASSERT_GE(size, sizeof(FIXED_INFO));
    std::vector<char> buffer(size);
    ASSERT_EQ(GetNetworkParams(reinterpret_cast<PFIXED_INFO>(buffer.data()), &size), NO_ERROR);
    const auto info = reinterpret_cast<const FIXED_INFO*>(buffer.data());
    EXPECT_GT(std::strlen(info->HostName), 0u);
    EXPECT_EQ(GetNetworkParams(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

// Every listed adapter has an interface row; loopback is never listed.
TEST(AdaptersInfo, ListedAdaptersHaveRows) {
    DWORD result = 0;
    const std::vector<char> list = AdapterList(&result);
    if (result == ERROR_NO_DATA)
        return;  // only loopback here
    ASSERT_EQ(result, NO_ERROR);
    for (auto a = reinterpret_cast<const IP_ADAPTER_INFO*>(list.data()); a; a = a->Next) {
        EXPECT_NE(a->Type, static_cast<UINT>(MIB_IF_TYPE_LOOPBACK)) << a->AdapterName;
        EXPECT_EQ(Row(a->Index).dwIndex, a->Index);
    }
    EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST(IfEntry, UnknownIndexFails) {
    MIB_IFROW row = {};
    row.dwIndex = 0x7FFFFFF0u;
    EXPECT_NE(GetIfEntry(&row), NO_ERROR);
    EXPECT_NE(GetIfEntry(nullptr), NO_ERROR);
}

// A test interface with two addresses: listed with its addresses, an
// Ethernet-like type, operational while up and not once down.
TEST(AdaptersInfo, TestInterfaceInPrivateNetwork) {
    std::string why;
    if (!vxtest::EnterPrivateNetwork(&why))
        GTEST_SKIP() << "known adapters need a private network namespace: " << why;
    const std::string device = std::string(" dev ") + vxtest::kTestInterface;
    ASSERT_TRUE(vxtest::RunIp("addr add 10.77.0.1/24" + device));
    ASSERT_TRUE(vxtest::RunIp("addr add 10.78.0.1/16" + device));

    DWORD result = 0;
    const std::vector<char> list = AdapterList(&result);
    ASSERT_EQ(result, NO_ERROR);
    const IP_ADAPTER_INFO* adapter = FindAdapter(list, vxtest::kTestInterface);
    ASSERT_NE(adapter, nullptr);
    EXPECT_STREQ(adapter->IpAddressList.IpAddress.String, "10.77.0.1");
    EXPECT_STREQ(adapter->IpAddressList.IpMask.String, "255.255.255.0");
    ASSERT_NE(adapter->IpAddressList.Next, nullptr);
    EXPECT_STREQ(adapter->IpAddressList.Next->IpAddress.String, "10.78.0.1");
    EXPECT_STREQ(adapter->IpAddressList.Next->IpMask.String, "255.255.0.0");
    EXPECT_EQ(adapter->Type, static_cast<UINT>(MIB_IF_TYPE_ETHERNET));
    EXPECT_EQ(adapter->AddressLength, 6u);

    MIB_IFROW row = Row(adapter->Index);
    EXPECT_EQ(row.dwType, static_cast<DWORD>(MIB_IF_TYPE_ETHERNET));
    EXPECT_EQ(row.dwOperStatus, static_cast<DWORD>(IF_OPER_STATUS_OPERATIONAL));
    const std::string description(reinterpret_cast<const char*>(row.bDescr), row.dwDescrLen);
    EXPECT_NE(description.find(vxtest::kTestInterface), std::string::npos);

    ASSERT_TRUE(vxtest::RunIp(std::string("link set ") + vxtest::kTestInterface + " down"));
    EXPECT_NE(Row(adapter->Index).dwOperStatus, static_cast<DWORD>(IF_OPER_STATUS_OPERATIONAL));
}

}  // namespace
