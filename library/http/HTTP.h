/*
 * HTTP: the HTTP loader's request half, and the fate of server connections.
 *
 * For one request the loader finds the next-hop host, reuses a kept or
 * pooled connection or opens a new one, composes the request head, sends
 * it with the body, and reads the answer (HTTPResp.h). Afterwards the
 * server connection is closed, kept as the thread's current connection,
 * reserved for the client connection (persist mapping) or parked in the
 * origin pool. The server-connection state lives in the context (the HTTP
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
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The failure status of network errors, and the one under the mapping flag. */
#define HT_HTTP_FAIL_STATUS 504
#define HT_HTTP_MAPPED_STATUS 400
/* Seconds the loader waits for an interim answer before it sends a body anyway. */
#define HT_HTTP_CONTINUE_WAIT_MS 2000

/*
 * Called with on = 1 when a server socket starts to serve a request and
 * on = 0 before it is closed or leaves the request: the host arms and
 * disarms its deadlines there. Null: none.
 */
typedef void (*HTServerSocketTimerHook)(HTSocket *socket, HTRequest *request, int on);
HT_EXPORT extern HTServerSocketTimerHook HTServerSocketTimer;

HT_EXPORT int HTLoadHTTP(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTNor_LoadHTTP(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int scm_HTLoadHTTPRequest(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Resolves the URL's host (the part after the authority's last '@'), writes
 * the context's host:port text and looks for a connection to reuse
 * (*reuse 1 when one became the current socket). 0, or HT_LOAD_RETRY_CONNECT
 * after the error page.
 */
HT_EXPORT int HTFindHTTPHost(HTRequest *request, const char *url, HTParseParts *parts, int *reuse,
                             struct sockaddr_in *address, char *host, int reuseAllowed,
                             HTThdGlobals *context) HT_NOEXCEPT;
/* Closes any current connection and connects anew: 0, or HT_LOAD_RETRY_CONNECT. */
HT_EXPORT int HTGetHTTPConnection(struct sockaddr_in *address, HTRequest *request, const char *url,
                                  const char *host, HTThdGlobals *context) HT_NOEXCEPT;
/* As HTGetHTTPConnection, then the secure session (error text 837 when it fails). */
HT_EXPORT int HTGetHTTPSConnection(struct sockaddr_in *address, HTRequest *request, const char *url,
                                   const char *host, HTThdGlobals *context) HT_NOEXCEPT;
/*
 * The request head (pool text, zero-terminated; *length without the zero),
 * with "Content-Length: contentLength" when contentLength is positive (0:
 * none). Null when it cannot be made.
 */
HT_EXPORT char *HTComposeHTTPCommand(HTRequest *request, const char *url, HTParseParts *parts, int *length,
                                     long long contentLength, const char *host,
                                     HTThdGlobals *context) HT_NOEXCEPT;
/* Sends the head (once more on a fresh connection when a reused one fails): bytes, or HT_LOAD_RETRY. */
HT_EXPORT int HTSendHTTPCommand(HTRequest *request, const char *head, int *reuse, int length,
                                struct sockaddr_in *address, const char *host, const char *url,
                                HTThdGlobals *context) HT_NOEXCEPT;
/* Sends the request body: bytes sent or 0, HT_LOAD_OK (a final answer came first), or HT_LOAD_RETRY. */
HT_EXPORT int HTSendHTTPData(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/* Ends the server connection (count_down: one outbound association less); address and port cleared. */
HT_EXPORT void CompleteSocketClose(HTSocket *socket, HTThdGlobals *context, int count_down) HT_NOEXCEPT;
/* The same, but the socket stays open and leaves the socket table (it was parked). */
HT_EXPORT void CompleteSocketNoClose(HTSocket *socket, HTThdGlobals *context, int count_down) HT_NOEXCEPT;
/* The text itself, or a pool copy with < > " LF CR as character references. */
HT_EXPORT char *EncodeScriptCharacters(const char *text, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * After an answer: closes, keeps, reserves or parks the server connection
 * as the context's flags and the configuration say.
 */
void HTHTTP_connectionFate(HTRequest *request, HTThdGlobals *context, int scm) HT_NOEXCEPT;
/* The failure status of the request: 504, or 400 under the mapping flag. */
int HTHTTP_failStatus(HTThdGlobals *context) HT_NOEXCEPT;
/* A pool text: catalogue text `number` (or `dflt` when its conversions differ) formatted. */
char *HTHTTP_message(HTThdGlobals *context, int number, const char *dflt, ...) HT_NOEXCEPT;
/* 1 when the request is a POST whose URL matches a configured CR LF pattern. */
int HTHTTP_wantsCRLF(HTRequest *request, const char *url, HTThdGlobals *context) HT_NOEXCEPT;

/* Registers the "HTTP" module; returns its slot. */
HT_EXPORT int HTTP_register(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
