/*
 * HTTP: the HTTP loader, and the fate of server connections.
 *
 * For one request the loader finds the next-hop host, reuses a kept or
 * pooled connection or opens a new one (HTTPConn.h), sends the head and
 * the body, and reads the answer (HTTPResp.h). Afterwards the server
 * connection is closed, kept as the thread's current connection, reserved
 * for the client connection (persist mapping) or parked in the origin
 * pool. The server-connection state lives in the context (the HTTP
 * loader's group of HTGlobals-t.h).
 *
 * Results are the loaders' (HTLoadCodes.h): HT_LOAD_OK, HT_LOAD_UNDONE,
 * HT_LOAD_FAILED, HT_LOAD_RETRY and HT_LOAD_RETRY_CONNECT; the helpers
 * give 0 (or a byte count) for success. Reuse is tried only for requests
 * without a body, and a reused connection that fails on send or on the
 * first read is replaced once. Every text inserted into an error page
 * (URL, host, reason) is HTML-escaped first.
 *
 * The "HTTP" module must be registered at start-up (HTTP_register): it
 * clears the loader's request words when each request begins and closes
 * the thread's kept connection when the thread ends.
 */
#ifndef HTTP_H
#define HTTP_H

#include "HTGlobals-t.h"
#include "HTParse.h"
#include "HTTPConn.h"
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

HT_EXPORT int HTLoadHTTP(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTNor_LoadHTTP(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int scm_HTLoadHTTPRequest(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/* Sends the request body: bytes sent or 0, HT_LOAD_OK (a final answer came first), or HT_LOAD_RETRY. */
HT_EXPORT int HTSendHTTPData(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * After an answer: closes, keeps, reserves or parks the server connection
 * as the context's flags and the configuration say.
 */
void HTHTTP_connectionFate(HTRequest *request, HTThdGlobals *context, int scm) HT_NOEXCEPT;
/*
 * Reads the answer after the request half, retries once on a reused
 * connection, produces the pages and decides the connection's fate.
 */
int HTHTTP_readAndDecide(HTRequest *request, HTThdGlobals *context, const char *url, HTParseParts *parts,
                         struct sockaddr_in *address, const char *host, int scm) HT_NOEXCEPT;
/* The response half of the split mode: the answer, the retry, the pages, the connection's fate. */
HT_EXPORT int scm_HTLoadHTTPResponse(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/* Registers the "HTTP" module; returns its slot. */
HT_EXPORT int HTTP_register(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
