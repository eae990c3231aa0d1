/*
 * hostloader: the stand-in host's forwarding of proxy requests.
 *
 * A request whose target is an absolute http://, gopher://, ftp:// or
 * file:// URL (a file of this machine) is handed to the library's document
 * loader (HTLoadDocument), which picks the next hop by the proxy selection,
 * the loader by the scheme, and retries on preferred servers. The worker
 * fills the client-side fields of the request record and the context (the
 * header block as it is forwarded, the declared body length, the transfer
 * coding, the expect, downgrade and keep-alive flags, the client's input
 * socket) and gives it a writer on the client socket. The header block
 * drops the hop-by-hop lines (Connection, Proxy-Connection, Keep-Alive, TE,
 * Trailer, Upgrade, Proxy-Authorization, and for a chunked body
 * Transfer-Encoding and Content-Length). Requests go on as HTTP/1.1 (as
 * HTTP/1.0 only when an HTTP/1.0 client sent no Host). The client
 * connection carries another request only after an answer the client took
 * whole with its length (an answer framed by the close, a server's close
 * and an error page end it; an HTTP/1.0 client keeps it only on request).
 *
 * Server sockets get the request time-out as their socket time-outs, so
 * that a silent origin ends the read.
 */
#ifndef HOSTLOADER_H
#define HOSTLOADER_H

#include "HTConfig.h"
#include "HTGlobals-t.h"
#include "HTInputSocket.h"
#include "HTRequest-t.h"
#include "hostconf.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HostLoaderSettings {
    int persist_mapping;           /* PersistMapping: a client connection keeps its server connection */
    int local_files;               /* LocalFiles: clients may ask for file:// URLs (off: 403) */
} HostLoaderSettings;

extern HostLoaderSettings hostloader_settings;

/*
 * The directives: RequestBodyLimit (bytes, 0: none), AppendCRLFtoPost (a
 * URL pattern; repeat for more), Poll100Continue (on/off), CachePercentage
 * (0 to 100), ConnectionManagement (on/off), PersistMapping (on/off),
 * LocalFiles (on/off, off by default: a forward proxy that read its own
 * machine's files for any client would hand them to everyone who reaches it)
 * and ServerPreference (a URL pattern and the servers, separated by blanks,
 * that a matching request is tried on in turn, its path kept; the first
 * matching line wins; when every one fails the client gets the loader's page).
 */
HostDirectiveTable hostloader_directives(HTStaticConfig *config);

/* Releases what the directives made (the CR LF patterns and their list, the preferences). */
void hostloader_free(HTStaticConfig *config);

/* Installs the server-socket time-out hook (the request time-out in seconds; 0: none). */
void hostloader_install(int request_timeout);

/*
 * 1 when the target is an absolute http://, https://, gopher://, ftp:// or
 * file:// URL the loader takes (https:// ends in the loader's handshake error
 * page: there is no secure backend).
 */
int hostloader_takes(const char *target);

/* 1 when the target is a file:// URL and LocalFiles is off: the client gets 403. */
int hostloader_refused(const char *target);
/*
 * 1 when the header line is forwarded to the server, 0 when it is hop by
 * hop; `chunked`: the body is de-chunked (its framing lines go).
 */
int hostloader_forwarded(const char *line, int chunked);

/* What the request reader found. */
typedef struct HostForward {
    const char *method;
    const char *target;            /* the absolute URL */
    int http11;
    int keep_alive;
    long long content_length;      /* -1: none */
    int chunked;
    int expect_continue;
    const char *headers;           /* forwarded header lines, each with CR LF (pool) */
    size_t headers_length;
} HostForward;

/*
 * Fills the request record and the context from what the reader found (the
 * method index, anchor, URL, body length and coding, client input, version,
 * the forwarded header block): what service plug-ins and the loader read.
 */
void hostloader_prepare(HTRequest *request, HTThdGlobals *context, HTInputSocket *in, const HostForward *forward);

/*
 * Loads the request through the library and answers the client: 1 when
 * the client connection may carry another request, else 0.
 */
int hostloader_serve(HTRequest *request, HTThdGlobals *context, HTSocket *client, HTInputSocket *in,
                     const HostForward *forward);

#ifdef __cplusplus
}
#endif

#endif
