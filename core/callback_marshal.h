// callback_marshal.h: how library events reach the host. An event's shared
// signal and the values of one occurrence are bound into a void() call and
// posted to the window thread (PostEvent), or queued on the pool (Execute).
// Every value is converted to the fire function's parameter type when the
// call is bound and byte payloads are copied (CopyPayload), so the source
// may reuse its buffers at once; pointers cannot be bound at all. The host's
// slot sees a pointer valid only during the call.
#pragma once

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include "VexloTool/FuncDispatch.h"

namespace VexloTool {

// The event signatures of the HTTP client and the socket classes.
typedef boost::signals2::signal<void()> EventSignal0;
typedef boost::signals2::signal<void(unsigned int)> EventSignalUInt;
typedef boost::signals2::signal<void(bool)> EventSignalBool;
typedef boost::signals2::signal<void(const char*, unsigned int)> EventSignalData;
typedef boost::signals2::signal<void(unsigned long, unsigned long)> EventSignalResult;
typedef boost::signals2::signal<void(unsigned long, unsigned long, unsigned long)>
    EventSignalProgress;
typedef boost::signals2::signal<void(unsigned long, unsigned long, const char*, unsigned int)>
    EventSignalChunk;

// Fire functions: emit the signal with one occurrence's values; an empty
// signal pointer does nothing.
inline void FireEvent(const boost::shared_ptr<EventSignal0>& signal) {
    if (signal)
        (*signal)();
}

inline void FireEvent(const boost::shared_ptr<EventSignalUInt>& signal, unsigned int value) {
    if (signal)
        (*signal)(value);
}

inline void FireEvent(const boost::shared_ptr<EventSignalBool>& signal, bool value) {
    if (signal)
        (*signal)(value);
}

inline void FireEvent(const boost::shared_ptr<EventSignalData>& signal, const std::string& data) {
    if (signal)
        (*signal)(data.data(), static_cast<unsigned int>(data.size()));
}

// The wide string travels with the occurrence but is not passed on.
inline void FireEvent(const boost::shared_ptr<EventSignalResult>& signal, const std::wstring&,
                      unsigned long error, unsigned long status) {
    if (signal)
        (*signal)(error, status);
}

inline void FireEvent(const boost::shared_ptr<EventSignalProgress>& signal, unsigned long a,
                      unsigned long b, unsigned long c) {
    if (signal)
        (*signal)(a, b, c);
}

inline void FireEvent(const boost::shared_ptr<EventSignalChunk>& signal, unsigned long a,
                      unsigned long b, const std::string& data) {
    if (signal)
        (*signal)(a, b, data.data(), static_cast<unsigned int>(data.size()));
}

// What one occurrence of each event binds: the fire function's parameter
// types, held by value, so nothing bound points into the source's memory.
template <class Signal>
struct EventValues;
template <>
struct EventValues<EventSignal0> {
    typedef std::tuple<> type;
};
template <>
struct EventValues<EventSignalUInt> {
    typedef std::tuple<unsigned int> type;
};
template <>
struct EventValues<EventSignalBool> {
    typedef std::tuple<bool> type;
};
template <>
struct EventValues<EventSignalData> {
    typedef std::tuple<std::string> type;
};
template <>
struct EventValues<EventSignalResult> {
    typedef std::tuple<std::wstring, unsigned long, unsigned long> type;
};
template <>
struct EventValues<EventSignalProgress> {
    typedef std::tuple<unsigned long, unsigned long, unsigned long> type;
};
template <>
struct EventValues<EventSignalChunk> {
    typedef std::tuple<unsigned long, unsigned long, std::string> type;
};

// True when the values can be bound for the signal: one value per
// parameter, each converting to it, and none a pointer or an array (a
// pointer would be read later on the window thread, after its source may
// be gone; copy byte payloads with CopyPayload and text into a string).
template <class Signal, class... Values>
struct EventBindable {
    static constexpr bool kNoPointer = (true && ... &&
                                        !(std::is_pointer<std::decay_t<Values>>::value ||
                                          std::is_null_pointer<std::decay_t<Values>>::value ||
                                          std::is_array<std::remove_reference_t<Values>>::value));
    static constexpr bool value =
        kNoPointer && std::is_constructible<typename EventValues<Signal>::type, Values&&...>::value;
};

// Binds one occurrence into a void() call, converting each value to the
// fire function's parameter type now. The bound call owns a share of the
// signal, so the signal outlives its source's release of it.
template <class Signal, class... Values,
          class = std::enable_if_t<EventBindable<Signal, Values...>::value>>
CFuncDispatch::Slot BindEvent(const boost::shared_ptr<Signal>& signal, Values&&... values) {
    typename EventValues<Signal>::type bound(std::forward<Values>(values)...);
    return CFuncDispatch::Slot([signal, bound] {
        std::apply([&signal](const auto&... value) { FireEvent(signal, value...); }, bound);
    });
}

// Copies a byte payload for binding; a null pointer gives an empty payload.
inline std::string CopyPayload(const char* data, unsigned int length) {
    return data && length ? std::string(data, length) : std::string();
}

// Posts one occurrence to the host's window thread.
template <class Signal, class... Values,
          class = std::enable_if_t<EventBindable<Signal, Values...>::value>>
void PostEvent(const boost::shared_ptr<Signal>& signal, Values&&... values) {
    CFuncDispatch::Dispatch(BindEvent(signal, std::forward<Values>(values)...));
}

}  // namespace VexloTool
