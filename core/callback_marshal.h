// callback_marshal.h: how library events reach the host. An event's shared
// signal and the values of one occurrence are bound into a void() call and
// posted to the window thread (PostEvent), or queued on the pool (Execute).
// Byte payloads are copied at binding time, so the source may reuse its
// buffer at once; the host's slot sees a pointer valid only during the call.
#pragma once

#include <string>

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

template <class Integer>
void FireEvent(const boost::shared_ptr<EventSignalUInt>& signal, Integer value) {
    if (signal)
        (*signal)(static_cast<unsigned int>(value));
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

// Binds one occurrence into a void() call. The bound call owns a share of
// the signal, so the signal outlives its source's release of it.
template <class Signal, class... Values>
CFuncDispatch::Slot BindEvent(const boost::shared_ptr<Signal>& signal, Values... values) {
    return CFuncDispatch::Slot([signal, values...] { FireEvent(signal, values...); });
}

// Copies a byte payload for binding; a null pointer gives an empty payload.
inline std::string CopyPayload(const char* data, unsigned int length) {
    return data && length ? std::string(data, length) : std::string();
}

// Posts one occurrence to the host's window thread.
template <class Signal, class... Values>
void PostEvent(const boost::shared_ptr<Signal>& signal, Values... values) {
    CFuncDispatch::Dispatch(BindEvent(signal, values...));
}

}  // namespace VexloTool
