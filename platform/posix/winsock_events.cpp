// winsock_events.cpp: socket events and address-list-change notification.
// Declared in vxplatform/winsock.h and socket_events.h.
//
// Threads: any; the netlink watcher thread sets the events. Lock order:
// gLock, then one SocketState::lock or LayerLock (through SetEvent).
#include "platform/posix/socket_events.h"

#include <map>
#include <mutex>

#include "platform/posix/netlink_watch.h"

namespace {

struct Selection {
    WSAEVENT event = nullptr;
    long selected = 0;   // network events that set the event
    long recorded = 0;   // network events not yet enumerated
    bool armed = false;  // an address-list-change request is pending
};

std::mutex gLock;
std::map<SOCKET, Selection> gSelections;  // under gLock

int Fail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

int Succeed() {
    WSASetLastError(0);
    return 0;
}

void Record(Selection& selection, long events) {
    selection.recorded |= events;
    if (selection.event && (selection.selected & events))
        SetEvent(selection.event);
}

// On the watcher thread: completes every pending request.
void OnAddressChange() {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& entry : gSelections) {
        if (!entry.second.armed)
            continue;
        entry.second.armed = false;
        Record(entry.second, FD_ADDRESS_LIST_CHANGE);
    }
}

bool KnownSocket(SOCKET s) {
    if (vxp::FindSocket(s))
        return true;
    WSASetLastError(WSAENOTSOCK);
    return false;
}

}  // namespace

namespace vxp {

int RequestAddressListChange(SOCKET s, SocketState& state, LPWSAOVERLAPPED overlapped,
                             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    bool nonBlocking;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        nonBlocking = state.nonBlocking;
    }
    if (!nonBlocking || overlapped || routine)
        return Fail(WSAEINVAL);
    if (!netlink::WatchAddressChanges(&OnAddressChange))
        return Fail(WSAENETDOWN);
    std::lock_guard<std::mutex> guard(gLock);
    gSelections[s].armed = true;
    return Fail(WSAEWOULDBLOCK);
}

void ForgetSocketEvents(SOCKET s) {
    std::lock_guard<std::mutex> guard(gLock);
    gSelections.erase(s);
}

}  // namespace vxp

WSAEVENT WSACreateEvent() {
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

BOOL WSACloseEvent(WSAEVENT event) {
    return CloseHandle(event);
}

BOOL WSASetEvent(WSAEVENT event) {
    return SetEvent(event);
}

BOOL WSAResetEvent(WSAEVENT event) {
    return ResetEvent(event);
}

int WSAEventSelect(SOCKET s, WSAEVENT event, long networkEvents) {
    vxp::SocketRef state = vxp::FindSocket(s);
    if (!state)
        return Fail(WSAENOTSOCK);
    if (networkEvents & ~static_cast<long>(FD_ADDRESS_LIST_CHANGE))
        return Fail(WSAEINVAL);  // Deviation: only address-list changes are provided
    if (networkEvents && !event)
        return Fail(WSAEINVAL);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->nonBlocking = true;  // as on Windows
    }
    std::lock_guard<std::mutex> guard(gLock);
    Selection& selection = gSelections[s];
    selection.event = networkEvents ? event : nullptr;
    selection.selected = networkEvents;
    if (selection.event && (selection.recorded & networkEvents))
        SetEvent(selection.event);
    return Succeed();
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents) {
    if (!KnownSocket(s))
        return SOCKET_ERROR;
    if (!networkEvents)
        return Fail(WSAEFAULT);
    *networkEvents = WSANETWORKEVENTS();
    std::lock_guard<std::mutex> guard(gLock);
    auto found = gSelections.find(s);
    if (found != gSelections.end()) {
        networkEvents->lNetworkEvents = found->second.recorded;
        found->second.recorded = 0;
    }
    if (event)
        ResetEvent(event);
    return Succeed();
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll,
                               DWORD milliseconds, BOOL) {
    return WaitForMultipleObjects(count, events, waitAll, milliseconds);
}
