/*
 * HTTPResp: the HTTP loader's response half.
 *
 * Reads the server's answer into the request's output stream (through
 * HTProxyCopy.h), handles the "100 Continue" exchange before a request
 * body, and forwards a chunked client body de-chunked, with a
 * Content-Length, after collecting it in pool buffers (at most
 * HT_CHUNKIN_TOTAL_MAX bytes, and at most the configured body limit when
 * that is not 0). Bytes the server sent behind an interim answer stay
 * buffered for the final one.
 */
#ifndef HTTPRESP_H
#define HTTPRESP_H

#include "HTGlobals-t.h"
#include "HTInputSocket.h"
#include "HTParse.h"
#include "HTRequest-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <netinet/in.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_CHUNKIN_BUFFER_MIN 16384
#define HT_CHUNKIN_TOTAL_MAX 10485760
#define HT_CHUNKIN_SIZE_TEXT 35

/* Results of HTGet100Response. */
#define HT_CONTINUE_BODY 0       /* send the body */
#define HT_CONTINUE_ANSWERED (-1) /* a final answer came instead, and went to the client */

typedef struct ChunkInNode {
    size_t used;
    char *buffer;
    struct ChunkInNode *next;
} ChunkInNode;

typedef struct ChunkIn {
    size_t total;                  /* de-chunked bytes collected */
    size_t used;                   /* bytes used in the current buffer */
    size_t capacity;               /* its size */
    char *buffer;                  /* the current buffer (pool), or null */
    ChunkInNode *head, *tail;      /* full buffers, in order */
} ChunkIn;

/* HT_LOAD_OK when an answer went on, HT_LOAD_FAILED when the server sent nothing. */
HT_EXPORT int HTReadHTTPResponse(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
/* Waits for the interim answer (poll: up to 2 s first): HT_CONTINUE_BODY or HT_CONTINUE_ANSWERED. */
HT_EXPORT int HTGet100Response(HTRequest *request, int poll, HTThdGlobals *context) HT_NOEXCEPT;
/* Copies an interim (or final) answer: bytes read, 0 nothing, -1 output broken. */
HT_EXPORT int HTProxyCopy100Response(HTInputSocket *in, HTStream *out, HTThdGlobals *context) HT_NOEXCEPT;
/*
 * Reads the client's chunked body, then sends the head with its
 * Content-Length and the body: 0 or more, HT_LOAD_FAILED on bad chunking
 * or an oversize body, HT_LOAD_RETRY on a transmission or client failure.
 */
HT_EXPORT int HTForwardUnchunked(HTRequest *request, const char *url, HTParseParts *parts, int failStatus,
                                 struct sockaddr_in *address, const char *host, HTThdGlobals *context) HT_NOEXCEPT;

/* A new current buffer of `size` bytes: 1, or 0 at the total bound. */
HT_EXPORT int ChunkIn_alloc_new(ChunkIn *chain, size_t size, HTThdGlobals *pool) HT_NOEXCEPT;
/* Moves the current buffer to the chain's tail. */
HT_EXPORT void ChunkIn_append_buf(ChunkIn *chain, HTThdGlobals *pool) HT_NOEXCEPT;
/* Writes the buffers in order to the server socket: the last write's result (negative on failure). */
HT_EXPORT int ChunkIn_flush(ChunkIn *chain, HTThdGlobals *context) HT_NOEXCEPT;
/* Forgets the chain (the memory is the request pool's). */
HT_EXPORT void ChunkIn_free_bufs(ChunkIn *chain) HT_NOEXCEPT;


#ifdef __cplusplus
}
#endif

#endif
