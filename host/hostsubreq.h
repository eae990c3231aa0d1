/*
 * hostsubreq: the requests the host makes for a plug-in.
 *
 * Entry 54 (a plug-in proxies its request to another URL) and entry 157
 * (asynchronous requests) load their URLs with the library's document
 * loader, as a client's request is loaded: proxy selection picks the next
 * hop, the origin pool and the retry loop apply, and a failure ends in the
 * error page the loader (or the installed load-error handler) produces. The
 * answer goes into a stream of this module that keeps the head as the
 * response header store hands it over (status line, header lines, CR LF)
 * and the body, or only counts them.
 *
 * The load runs on the calling thread's context when it has one (a worker
 * serving the request the plug-in proxies, or the internal worker of an
 * asynchronous request); a thread without one (a plug-in's own thread) gets
 * a context for the call. This header names neither the library's nor
 * libplugrt's stream types: each caller sees only one of them.
 */
#ifndef HOSTSUBREQ_H
#define HOSTSUBREQ_H

#include <string>
#include <utility>
#include <vector>

namespace orvhost {

struct SubRequest {
    std::string method = "GET";
    std::string url;
    // Sent as they are; a Host line is added when none is given, and a
    // Content-Length when a body goes without one.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct SubAnswer {
    bool keep = true;           // keep the bytes; false: only count them
    // A stream of the caller's (a plug-in's output: the same nine operations
    // in the same order) that gets every byte of the answer as well; or null.
    void *forward = nullptr;
    int status = 0;             // of the head that reached the stream; 0: none
    bool from_server = false;   // the server's answer came through whole (not an error page)
    std::string bytes;          // the head and the body, when kept
    unsigned long head_bytes = 0;
    unsigned long body_bytes = 0;
};

/*
 * Loads the request into `answer`; false when the method is unknown or the
 * library cannot start a context, else true (the answer may still be an
 * error page: see from_server and status).
 */
bool sub_load(const SubRequest &request, SubAnswer *answer);

/*
 * As sub_load, as a request of its own on `context` (the globals a worker's
 * work function is given): its memory goes when the load is done.
 */
bool sub_load_alone(void *context, const SubRequest &request, SubAnswer *answer);

// Starts the library (once; before the threads that load): false when it cannot.
bool sub_start();

} // namespace orvhost

#endif
