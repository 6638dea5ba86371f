/// @file
/// NetworkMonitorWrapper.h: the process-wide network availability monitor.
///
/// Threads: Init, UnInit and SetCheckUrl by the host, in pairs and not
/// concurrently with each other; Connect between Init and UnInit from any
/// thread; IsNetAvailable from any thread at any time. One monitor thread,
/// named "network", runs the connection checks and calls every slot.
/// Locks: none of its own; the signal's mutex guards its slot list. Slots run
/// under no library lock.
#pragma once

#include <atomic>
#include <string>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "vxplatform.h"
#include "VexloTool/Export.h"
#include "VexloTool/SingletonImpl.h"

namespace VexloTool {

VEXLOTOOL_SINGLETON(CNetworkMonitorWrapper);

/// Checks whether an HTTP connection to the check URL can be made (a real
/// connection attempt, no request sent) at Init, whenever the local IPv4
/// address list changes, and every 10 seconds; reports the answer to slots.
class VEXLOTOOL_API CNetworkMonitorWrapper : public SingletonImpl<CNetworkMonitorWrapper, 0> {
public:
    typedef boost::signals2::signal<void(bool)> NetworkSignal;
    /// slot<void(bool), boost::function<void(bool)>>: the one-argument slot type.
    typedef NetworkSignal::slot_type NetworkSlot;

    /// The URL checked unless SetCheckUrl names another.
    static const wchar_t* const kCheckUrl;
    /// Seconds between two checks when no address change comes.
    static const DWORD kRecheckIntervalMs = 10000;

    /// Does not stop the thread: the host calls UnInit first.
    ~CNetworkMonitorWrapper() override;

    /// Starts monitoring with an empty slot list. The first answer replaces
    /// the flag without a signal. Not while monitoring.
    void Init();
    /// Stops the thread (a bounded wait of about 3 s that pumps the caller's
    /// messages; a thread stuck in a check is then terminated) and
    /// disconnects every slot. Does nothing when not monitoring.
    void UnInit();

    /// Adds a slot, called on the monitor thread with the new answer after
    /// each address-list change and after each 10-second check whose answer
    /// differs. Ignored outside Init/UnInit.
    void Connect(const NetworkSlot& slot);
    void Connect(const void* slot);  ///< a NetworkSlot*

    /// The last answer; true until the first check completes.
    bool IsNetAvailable();

    /// Points the check at another HTTP URL (a host's own endpoint, a
    /// loopback server in tests); null restores kCheckUrl. Takes effect at
    /// the next Init.
    void SetCheckUrl(const wchar_t* url);

    CNetworkMonitorWrapper(const CNetworkMonitorWrapper&) = delete;
    CNetworkMonitorWrapper& operator=(const CNetworkMonitorWrapper&) = delete;

private:
    friend class SingletonImpl<CNetworkMonitorWrapper, 0>;
    CNetworkMonitorWrapper();

    static DWORD WINAPI ThreadFunc(LPVOID self);
    void InnterThreadFunc();
    NetworkSignal& GetNetWorkSignal();
    bool CheckConnection() const;
    void Emit(bool available);

    // Adapter-state query: an operational non-tunnel adapter, or a connected
    // one, whose description does not contain "VMware".
    bool IsNetworkAvailable();
    boost::shared_ptr<std::string> GetLocalNetworkParams();
    boost::shared_ptr<std::string> GetNetworkInterfaces();

    HANDLE stopEvent_ = nullptr;
    HANDLE addressEvent_ = nullptr;  // a socket event (WSAEVENT)
    HANDLE thread_ = nullptr;
    // Written by the monitor thread, read by any thread.
    std::atomic<bool> available_{true};
    // Shared with the running thread, which may outlive a forced stop.
    boost::shared_ptr<NetworkSignal> signal_;
    std::wstring requestedUrl_;  // set by SetCheckUrl
    std::wstring checkUrl_;      // the URL of the current run, fixed by Init
};

}  // namespace VexloTool
