/*
 * HTTPConn: the HTTP loader's server connections, request heads and error texts.
 *
 * Finding the next-hop host, reusing a kept, reserved or pooled connection
 * or connecting anew, composing and sending the request head, and ending a
 * connection. The connection state lives in the context (the HTTP loader's
 * group of HTGlobals-t.h). Every text inserted into an error page (URL,
 * host, reason) is HTML-escaped first, and every catalogue text is used
 * only when its conversions are those of its built-in default.
 */
#ifndef HTTPCONN_H
#define HTTPCONN_H

#include "HTGlobals-t.h"
#include "HTParse.h"
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <netinet/in.h>
#include <stddef.h>

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
/* Ends the server connection (count_down: one outbound association less); address and port cleared. */
HT_EXPORT void CompleteSocketClose(HTSocket *socket, HTThdGlobals *context, int count_down) HT_NOEXCEPT;
/* The same, but the socket stays open and leaves the socket table (it was parked). */
HT_EXPORT void CompleteSocketNoClose(HTSocket *socket, HTThdGlobals *context, int count_down) HT_NOEXCEPT;
/* The text itself, or a pool copy with < > " LF CR as character references. */
HT_EXPORT char *EncodeScriptCharacters(const char *text, HTThdGlobals *pool) HT_NOEXCEPT;

/* The failure status of the request: 504, or 400 under the mapping flag. */
int HTHTTP_failStatus(HTThdGlobals *context) HT_NOEXCEPT;
/* A pool text: catalogue text `number` (or `dflt` when its conversions differ) formatted. */
char *HTHTTP_message(HTThdGlobals *context, int number, const char *dflt, ...) HT_NOEXCEPT;
/* 1 when the request is a POST whose URL matches a configured CR LF pattern. */
int HTHTTP_wantsCRLF(HTRequest *request, const char *url, HTThdGlobals *context) HT_NOEXCEPT;

/* Writes all n bytes: 1, or 0 when a write fails. */
int HTHTTP_writeAll(HTSocket *socket, const char *bytes, size_t n, HTRequest *request) HT_NOEXCEPT;
/* The socket's last error, or errno. */
int HTHTTP_socketError(HTSocket *socket) HT_NOEXCEPT;
/* Calls the host's server-socket timer hook, when there is one. */
void HTHTTP_timer(HTSocket *socket, HTRequest *request, int on) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
