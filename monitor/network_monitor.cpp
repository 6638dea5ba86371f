// network_monitor.cpp: CNetworkMonitorWrapper (NetworkMonitorWrapper.h).
#include "VexloTool/NetworkMonitorWrapper.h"

#include <algorithm>

#include "core/thread_helpers.h"
#include "monitor/adapter_rules.h"

namespace VexloTool {

template class SingletonImpl<CNetworkMonitorWrapper, 0>;

namespace {

// After a forced stop, how long UnInit lets the thread finish unwinding
// before it closes the handles the thread may still be using.
constexpr DWORD kUnwindGraceMs = 2000;

// The monitor thread's datagram socket with address-list-change
// notification on an event; closed on every way out of the thread.
class AddressWatch {
public:
    explicit AddressWatch(HANDLE event)
        : event_(event), socket_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
        u_long nonBlocking = 1;
        if (socket_ != INVALID_SOCKET &&
            (ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0 ||
             WSAEventSelect(socket_, event_, FD_ADDRESS_LIST_CHANGE) != 0)) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }
    ~AddressWatch() {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    AddressWatch(const AddressWatch&) = delete;
    AddressWatch& operator=(const AddressWatch&) = delete;

    // Arms the next notification; false when it cannot be had.
    bool Request() {
        if (socket_ == INVALID_SOCKET)
            return false;
        DWORD bytes = 0;
        return WSAIoctl(socket_, SIO_ADDRESS_LIST_CHANGE, nullptr, 0, nullptr, 0, &bytes, nullptr,
                        nullptr) == 0 ||
               WSAGetLastError() == WSAEWOULDBLOCK;
    }
    // Reads and resets the recorded events: was the address list among them?
    bool Changed() {
        WSANETWORKEVENTS events;
        return WSAEnumNetworkEvents(socket_, event_, &events) == 0 &&
               (events.lNetworkEvents & FD_ADDRESS_LIST_CHANGE);
    }

private:
    HANDLE event_;
    SOCKET socket_;
};

bool Check(const std::wstring& url) {
    return InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0) == TRUE;
}

}  // namespace

const wchar_t* const CNetworkMonitorWrapper::kCheckUrl = L"http://www.yahoo.com/";

CNetworkMonitorWrapper::CNetworkMonitorWrapper() = default;

CNetworkMonitorWrapper::~CNetworkMonitorWrapper() = default;

void CNetworkMonitorWrapper::Init() {
    if (thread_)
        return;  // already monitoring
    signal_.reset(new NetworkSignal);
    checkUrl_ = requestedUrl_.empty() ? kCheckUrl : requestedUrl_;
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    addressEvent_ = WSACreateEvent();
    DWORD id = 0;
    thread_ = CreateThread(nullptr, 0, &CNetworkMonitorWrapper::ThreadFunc, this, 0, &id);
    if (!thread_) {
        CloseHandle(stopEvent_);
        WSACloseEvent(addressEvent_);
        stopEvent_ = addressEvent_ = nullptr;
        signal_.reset();
        return;
    }
    SetThreadName(id, "network");
    SetThreadPriority(thread_, THREAD_PRIORITY_NORMAL);
}

void CNetworkMonitorWrapper::UnInit() {
    if (!thread_)
        return;
    SetEvent(stopEvent_);
    StopThreadBounded(thread_);
    // A terminated thread may still be unwinding; it holds its own share of
    // the signal, but not of the events.
    const bool ended = WaitForSingleObject(thread_, kUnwindGraceMs) == WAIT_OBJECT_0;
    if (ended) {
        CloseHandle(stopEvent_);
        WSACloseEvent(addressEvent_);
    }
    CloseHandle(thread_);
    stopEvent_ = addressEvent_ = thread_ = nullptr;
    signal_->disconnect_all_slots();
    signal_.reset();
}

void CNetworkMonitorWrapper::Connect(const NetworkSlot& slot) {
    if (signal_)
        signal_->connect(slot);
}

void CNetworkMonitorWrapper::Connect(const void* slot) {
    if (slot)
        Connect(*static_cast<const NetworkSlot*>(slot));
}

bool CNetworkMonitorWrapper::IsNetAvailable() {
    return available_.load();
}

void CNetworkMonitorWrapper::SetCheckUrl(const wchar_t* url) {
    requestedUrl_ = url ? url : L"";
}

DWORD WINAPI CNetworkMonitorWrapper::ThreadFunc(LPVOID self) {
    static_cast<CNetworkMonitorWrapper*>(self)->InnterThreadFunc();
    return 0;
}

void CNetworkMonitorWrapper::InnterThreadFunc() {
    // Everything the loop needs is copied first: after a forced stop the
    // next Init may already be replacing the members.
    const boost::shared_ptr<NetworkSignal> signal = signal_;
    const HANDLE events[2] = {stopEvent_, addressEvent_};
    const std::wstring url = checkUrl_;

    available_ = Check(url);
    AddressWatch watch(events[1]);
    while (watch.Request()) {
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE, kRecheckIntervalMs);
        if (woke == WAIT_OBJECT_0 + 1) {
            if (!watch.Changed())
                continue;
            available_ = Check(url);
            (*signal)(available_.load());
        } else if (woke == WAIT_TIMEOUT) {
            const bool now = Check(url);
            if (now == available_.load())
                continue;
            available_ = now;
            (*signal)(now);
        } else {
            break;  // stopped, or the wait failed
        }
    }
}

CNetworkMonitorWrapper::NetworkSignal& CNetworkMonitorWrapper::GetNetWorkSignal() {
    return *signal_;
}

bool CNetworkMonitorWrapper::IsNetworkAvailable() {
    const boost::shared_ptr<std::string> params = GetLocalNetworkParams();
    if (params->empty())
        return false;
    const boost::shared_ptr<std::string> list = GetNetworkInterfaces();
    if (list->empty())
        return false;
    auto adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(list->data());
    for (; adapter; adapter = adapter->Next) {
        MIB_IFROW row = {};
        row.dwIndex = adapter->Index;
        if (GetIfEntry(&row) != NO_ERROR)
            continue;
        const DWORD length = std::min<DWORD>(row.dwDescrLen, sizeof(row.bDescr));
        if (AdapterQualifies(row.dwOperStatus, row.dwType, row.bDescr, length))
            return true;
    }
    return false;
}

namespace {

// The platform's record grown until the call no longer asks for more.
template <typename Record, typename Call>
boost::shared_ptr<std::string> QueryRecord(Call call) {
    boost::shared_ptr<std::string> buffer(new std::string(sizeof(Record), '\0'));
    for (;;) {
        ULONG size = static_cast<ULONG>(buffer->size());
        const DWORD result = call(reinterpret_cast<Record*>(&(*buffer)[0]), &size);
        if (result != ERROR_BUFFER_OVERFLOW || size <= buffer->size())
            return buffer;
        buffer->assign(size, '\0');
    }
}

}  // namespace

boost::shared_ptr<std::string> CNetworkMonitorWrapper::GetLocalNetworkParams() {
    return QueryRecord<FIXED_INFO>(&GetNetworkParams);
}

boost::shared_ptr<std::string> CNetworkMonitorWrapper::GetNetworkInterfaces() {
    return QueryRecord<IP_ADAPTER_INFO>(&GetAdaptersInfo);
}

}  // namespace VexloTool
