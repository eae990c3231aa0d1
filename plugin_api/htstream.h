/*
 * htstream: the data filter and CGI streams, the generic stream operations
 * and the script result loader.
 *
 * Every stream record of the library starts with its class and its target
 * (StreamHead). A plug-in function runs with the request's output stream
 * set to the stream's target and the request in the step the stream serves;
 * both are put back after the call, whatever the plug-in did.
 */
#ifndef HTSTREAM_H
#define HTSTREAM_H

#include "plugrt_host.h"

#include <cstddef>

namespace plugrt {

struct StreamHead {
    const HTStreamClass *isa;
    HTStream *target;
};

// The handle of a stream call: the given one, or the calling thread's.
HTAPIHandle *resolve_handle(void *handle) noexcept;

// The request's step, output stream and current transmogrifier while a plug-in runs.
struct PluginScope {
    HTAPIRequest *request;
    int step;
    HTStream *output;
    void *transmogrifier;
};
PluginScope enter_plugin(HTAPIHandle *h, HTStream *output, int step, void *transmogrifier) noexcept;
void leave_plugin(const PluginScope &scope) noexcept;

// The stream operations on a possibly null stream: 0 for none.
int stream_write(HTStream *s, const char *data, int length) noexcept;
int stream_free(HTStream *s, void *argument) noexcept;
int stream_put_headers(HTStream *s, void *response) noexcept;
int stream_message(HTStream *s, int message, void *argument) noexcept;

// Pool memory of the handle's request (entry 46); null when there is none.
void *pool_alloc(HTAPIHandle *h, std::size_t size) noexcept;

} // namespace plugrt

#endif
