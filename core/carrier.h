// carrier.h: the carrier signal, the unit of work that the dispatcher posts
// and the pool queues: a heap signal<void()> with exactly one slot, handed
// around as an opaque pointer.
#pragma once

#include <boost/signals2/signal.hpp>

namespace VexloTool {

typedef boost::signals2::signal<void()> CarrierSignal;

inline CarrierSignal* AsCarrier(void* carrier) {
    return static_cast<CarrierSignal*>(carrier);
}

// Connects the slot and drops the connection: the slot stays connected
// until the carrier is recycled or destroyed.
inline void ConnectCarrier(void* carrier, void* slot) {
    AsCarrier(carrier)->connect(*static_cast<CarrierSignal::slot_type*>(slot));
}

inline void DestroyCarrier(void* carrier) {
    delete AsCarrier(carrier);
}

}  // namespace VexloTool
