/*
 * htapibody: the request body and the response of the plug-in API.
 *
 * HTTPD_read hands the plug-in the client's request body, decoding the
 * chunked transfer coding, and keeps a copy of everything it hands out (the
 * stored request body) so that the host can still forward the request. A
 * copy that cannot be kept whole (memory, the configured limit, a framing
 * error) is discarded for good: a truncated body is never forwarded.
 * HTTPD_write writes to the response through the stream its step selects.
 */
#ifndef HTAPIBODY_H
#define HTAPIBODY_H

#include "plugrt_host.h"

#include <cstddef>

namespace plugrt {

/*
 * Appends to the stored body (see copyToProxyBuffer); `ended` adds the last
 * chunk after a chunked block. False when the copy is refused; it is then
 * gone and every later append is refused too.
 */
bool store_body(HTAPIHandle *h, const char *data, std::size_t length, bool chunked,
                bool ended) noexcept;

} // namespace plugrt

#endif
