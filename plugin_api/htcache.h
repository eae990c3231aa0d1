/*
 * htcache: the cache access calls. Request-bound calls follow the common
 * frame; direct calls bracket each host operation with a cache handle
 * (released on every path) and map the host's results through errmap.
 */
#ifndef HTCACHE_H
#define HTCACHE_H

#include "plugrt_host.h"

namespace plugrt {

// Host cache results the library itself reports.
constexpr long kHostNoHandle = 5;      // errmap: 17
constexpr long kHostBadArguments = 23; // errmap: 35
constexpr long kUnmappedResult = 2;    // a host result outside errmap

// errmap[r] for 0 <= r < HT_ERRMAP_SIZE, else kUnmappedResult.
long map_cache_result(long r) noexcept;

} // namespace plugrt

#endif
