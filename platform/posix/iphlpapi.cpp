// iphlpapi.cpp: network parameters, adapters and interface rows from
// getifaddrs, sysfs and /etc/resolv.conf. Declared in vxplatform/iphlpapi.h.
#define VXP_NO_WINSOCK
#include "vxplatform.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct AddressText {
    std::string address;
    std::string mask;
};

struct Adapter {
    std::string name;
    DWORD index = 0;
    BYTE mac[MAX_ADAPTER_ADDRESS_LENGTH] = {};
    UINT macLength = 0;
    std::vector<AddressText> addresses;
};

// What an interface request (SIOCGIF*) reports; all zero for an interface
// that does not exist (any more). Ioctls rather than sysfs: sysfs shows the
// network namespace it was mounted in, not the caller's.
struct InterfaceFacts {
    unsigned flags = 0;
    unsigned hardwareType = 0;  // ARPHRD_*
    DWORD mtu = 0;
    BYTE mac[MAX_ADAPTER_ADDRESS_LENGTH] = {};
};

InterfaceFacts QueryInterface(const std::string& name) {
    InterfaceFacts facts;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return facts;
    ifreq request;
    std::memset(&request, 0, sizeof(request));
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0)
        facts.flags = static_cast<unsigned short>(request.ifr_flags);
    if (ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
        facts.hardwareType = request.ifr_hwaddr.sa_family;
        std::memcpy(facts.mac, request.ifr_hwaddr.sa_data, 6);
    }
    if (ioctl(fd, SIOCGIFMTU, &request) == 0)
        facts.mtu = static_cast<DWORD>(request.ifr_mtu);
    ::close(fd);
    return facts;
}

bool IsWireless(const std::string& name) {
    return access(("/sys/class/net/" + name + "/wireless").c_str(), F_OK) == 0;
}

DWORD InterfaceType(const std::string& name, const InterfaceFacts& facts) {
    switch (facts.hardwareType) {
        case ARPHRD_ETHER:
            return IsWireless(name) ? IF_TYPE_IEEE80211 : MIB_IF_TYPE_ETHERNET;
        case ARPHRD_LOOPBACK:
            return MIB_IF_TYPE_LOOPBACK;
        case ARPHRD_PPP:
            return MIB_IF_TYPE_PPP;
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
        case 823:          // ARPHRD_IP6GRE
        case ARPHRD_NONE:  // tun and WireGuard
            return IF_TYPE_TUNNEL;
        default:
            return MIB_IF_TYPE_OTHER;
    }
}

// Running means the kernel's operational state is up (or unknown, as for
// dummy interfaces) with a carrier.
DWORD OperationalState(const InterfaceFacts& facts) {
    if (!(facts.flags & IFF_UP))
        return IF_OPER_STATUS_NON_OPERATIONAL;
    if (facts.flags & IFF_RUNNING)
        return IF_OPER_STATUS_OPERATIONAL;
    return IF_OPER_STATUS_DISCONNECTED;
}

std::string Ipv4Text(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    if (address)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof(text));
    return text;
}

Adapter& AdapterNamed(std::vector<Adapter>& adapters, const char* name) {
    for (Adapter& adapter : adapters) {
        if (adapter.name == name)
            return adapter;
    }
    adapters.push_back(Adapter());
    adapters.back().name = name;
    return adapters.back();
}

// One consistent snapshot: interfaces that vanish meanwhile drop out.
std::vector<Adapter> SnapshotAdapters() {
    std::vector<Adapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return adapters;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if ((entry->ifa_flags & IFF_LOOPBACK) || !entry->ifa_addr)
            continue;
        Adapter& adapter = AdapterNamed(adapters, entry->ifa_name);
        if (entry->ifa_addr->sa_family == AF_PACKET) {
            auto link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
            adapter.macLength = std::min<UINT>(link->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
            std::memcpy(adapter.mac, link->sll_addr, adapter.macLength);
        } else if (entry->ifa_addr->sa_family == AF_INET) {
            adapter.addresses.push_back({Ipv4Text(entry->ifa_addr), Ipv4Text(entry->ifa_netmask)});
        }
    }
    freeifaddrs(list);
    for (Adapter& adapter : adapters)
        adapter.index = if_nametoindex(adapter.name.c_str());
    adapters.erase(std::remove_if(adapters.begin(), adapters.end(),
                                  [](const Adapter& a) { return a.index == 0; }),
                   adapters.end());
    return adapters;
}

void CopyText(char* target, size_t capacity, const std::string& text) {
    std::strncpy(target, text.c_str(), capacity - 1);
    target[capacity - 1] = '\0';
}

void FillAddress(IP_ADDR_STRING& target, const AddressText& text) {
    CopyText(target.IpAddress.String, sizeof(target.IpAddress.String), text.address);
    CopyText(target.IpMask.String, sizeof(target.IpMask.String), text.mask);
}

// Fills the head entry and links the rest from `spare` onwards.
IP_ADDR_STRING* FillAddressList(IP_ADDR_STRING& head, const std::vector<AddressText>& texts,
                                IP_ADDR_STRING* spare) {
    FillAddress(head, texts.empty() ? AddressText{"0.0.0.0", "0.0.0.0"} : texts[0]);
    IP_ADDR_STRING* last = &head;
    for (size_t i = 1; i < texts.size(); ++i, ++spare) {
        FillAddress(*spare, texts[i]);
        last->Next = spare;
        last = spare;
    }
    return spare;
}

size_t ExtraEntries(const std::vector<AddressText>& texts) {
    return texts.empty() ? 0 : texts.size() - 1;
}

struct Resolver {
    std::string domain;
    std::vector<AddressText> servers;
};

Resolver ReadResolver() {
    Resolver resolver;
    std::ifstream file("/etc/resolv.conf");
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string key, value;
        words >> key >> value;
        if (key == "nameserver" && value.find(':') == std::string::npos)
            resolver.servers.push_back({value, "255.255.255.255"});
        else if ((key == "domain" || key == "search") && resolver.domain.empty())
            resolver.domain = value;
    }
    return resolver;
}

}  // namespace

DWORD GetNetworkParams(PFIXED_INFO info, PULONG outLength) {
    if (!outLength)
        return ERROR_INVALID_PARAMETER;
    const Resolver resolver = ReadResolver();
    const size_t needed =
        sizeof(FIXED_INFO) + ExtraEntries(resolver.servers) * sizeof(IP_ADDR_STRING);
    if (!info || *outLength < needed) {
        *outLength = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, needed);
    char host[MAX_HOSTNAME_LEN + 4] = {};
    gethostname(host, sizeof(host) - 1);
    CopyText(info->HostName, sizeof(info->HostName), host);
    CopyText(info->DomainName, sizeof(info->DomainName), resolver.domain);
    if (!resolver.servers.empty())
        FillAddressList(info->DnsServerList, resolver.servers,
                        reinterpret_cast<IP_ADDR_STRING*>(info + 1));
    info->NodeType = 1;  // broadcast: there is no WINS
    return ERROR_SUCCESS;
}

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO info, PULONG outLength) {
    if (!outLength)
        return ERROR_INVALID_PARAMETER;
    const std::vector<Adapter> adapters = SnapshotAdapters();
    if (adapters.empty())
        return ERROR_NO_DATA;
    size_t extra = 0;
    for (const Adapter& adapter : adapters)
        extra += ExtraEntries(adapter.addresses);
    const size_t needed =
        adapters.size() * sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    if (!info || *outLength < needed) {
        *outLength = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, needed);
    auto spare = reinterpret_cast<IP_ADDR_STRING*>(info + adapters.size());
    for (size_t i = 0; i < adapters.size(); ++i) {
        const Adapter& adapter = adapters[i];
        IP_ADAPTER_INFO& record = info[i];
        record.Next = i + 1 < adapters.size() ? &info[i + 1] : nullptr;
        record.ComboIndex = adapter.index;
        record.Index = adapter.index;
        CopyText(record.AdapterName, sizeof(record.AdapterName), adapter.name);
        CopyText(record.Description, sizeof(record.Description), adapter.name);
        record.AddressLength = adapter.macLength;
        std::memcpy(record.Address, adapter.mac, adapter.macLength);
        record.Type = InterfaceType(adapter.name, QueryInterface(adapter.name));
        spare = FillAddressList(record.IpAddressList, adapter.addresses, spare);
        FillAddress(record.GatewayList, {"0.0.0.0", "0.0.0.0"});
    }
    return ERROR_SUCCESS;
}

DWORD GetIfEntry(PMIB_IFROW row) {
    if (!row)
        return ERROR_INVALID_PARAMETER;
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(row->dwIndex, name))
        return ERROR_INVALID_DATA;
    const DWORD index = row->dwIndex;
    std::memset(row, 0, sizeof(*row));
    row->dwIndex = index;
    for (size_t i = 0; name[i] && i + 1 < MAX_INTERFACE_NAME_LEN; ++i)
        row->wszName[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    const InterfaceFacts facts = QueryInterface(name);
    row->dwType = InterfaceType(name, facts);
    row->dwMtu = facts.mtu;
    row->dwPhysAddrLen = facts.hardwareType == ARPHRD_ETHER ? 6 : 0;
    std::memcpy(row->bPhysAddr, facts.mac, row->dwPhysAddrLen);
    row->dwAdminStatus = (facts.flags & IFF_UP) ? 1 : 2;
    row->dwOperStatus = OperationalState(facts);
    row->dwDescrLen = static_cast<DWORD>(std::strlen(name) + 1);
    std::memcpy(row->bDescr, name, row->dwDescrLen);
    return ERROR_SUCCESS;
}
