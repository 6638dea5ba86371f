// tcp_bench_asio.h: the Boost.Asio peer of tcp_bench.
#pragma once

#include <cstddef>

namespace vxbench {

// Seconds for `connections` clients to echo `bytesEach` bytes each through
// an Asio echo server on loopback (one io_context thread for both sides).
double AsioEchoSeconds(size_t connections, size_t bytesEach);

}  // namespace vxbench
