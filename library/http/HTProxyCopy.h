/*
 * HTProxyCopy: copying an origin server's answer to the client.
 *
 * The copier reads the server connection, passes every byte of the answer
 * through the stream-stack writer (HTStreamStack.h) into the request's
 * output stream, and stops exactly where the answer ends, so that the
 * connection can carry the next request. Where the answer ends follows from
 * its head alone (the framing below, fed the bytes in any cuts):
 *
 * - no body after a HEAD request, nor for 1xx, 204 and 304 answers; an
 *   interim answer (1xx other than 101) is passed on and the final answer
 *   read behind it;
 * - "Transfer-Encoding: chunked" (the last coding): the chunks are followed
 *   to the last one and its trailer, and reach the client unchanged;
 * - otherwise Content-Length;
 * - otherwise (and for HTTP/0.9, 101 and anything unreadable) until the
 *   server closes.
 *
 * The connection is reusable only after a complete answer that neither
 * ended by the close, nor said "Connection: close", nor was HTTP/1.0
 * without "Connection: keep-alive", nor carried both chunking and
 * Content-Length or differing Content-Length values, nor was followed by
 * bytes the server had no reason to send. Bad chunk framing stops the copy
 * at the last good byte. An answer cut short by the server (fewer bytes
 * than its framing promised) leaves the client connection to be closed, so
 * that the client never takes a short body for a whole one. A server's
 * "Connection: close" ends the client connection as well.
 *
 * An HTTP/1.0 client (the request's http_version) reads no chunks and keeps
 * a connection only on request: the head it gets carries this proxy's
 * "Connection: keep-alive" when it asked for that (the request's keep_alive)
 * and can tell the answer's end without the close (a Content-Length, or no
 * body); otherwise "Connection: close", and the client connection is to end.
 * A chunked answer reaches it as the bare body, without the Transfer-Encoding
 * and Content-Length lines, ended by the close; interim answers stay here.
 */
#ifndef HTPROXYCOPY_H
#define HTPROXYCOPY_H

#include "HTGlobals-t.h"
#include "HTInputSocket.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of HTProxyCopy besides a positive byte count. */
#define HT_COPY_NOTHING 0        /* the server sent nothing */
#define HT_COPY_BROKEN (-1)      /* the client could not be written */
#define HT_COPY_BAD_HEAD (-2)    /* the head overran its bound; nothing went to the client */

/* States of the framing. */
#define HT_FRAME_HEAD 0
#define HT_FRAME_LENGTH 1        /* body bytes counted by Content-Length */
#define HT_FRAME_CHUNK_SIZE 2
#define HT_FRAME_CHUNK_DATA 3
#define HT_FRAME_CHUNK_END 4     /* the CR LF after a chunk's data */
#define HT_FRAME_TRAILER 5
#define HT_FRAME_CLOSE 6         /* until the server closes */
#define HT_FRAME_DONE 7
#define HT_FRAME_ERROR 8         /* bad framing: nothing more belongs to the answer */

/* Largest chunk size taken (bigger is refused as bad framing). */
#define HT_FRAME_CHUNK_MAX 0x7FFFFFFFLL
/* Bytes of a head line or chunk-size line kept for reading its value. */
#define HT_FRAME_LINE_KEEP 128

typedef struct HTProxyFrame {
    int state;                     /* HT_FRAME_* */
    int head_request;              /* the request was HEAD: no body */
    int status;                    /* status of the answer being read; -1 before it */
    int interim;                   /* answers of 1xx passed on so far */
    int http10;                    /* the answer's version is 1.0 (or older) */
    int keep_alive;                /* "Connection: keep-alive" seen */
    int close;                     /* "Connection: close", or framing that forbids reuse */
    int close_asked;               /* "Connection: close" itself seen */
    int stop_at_head;              /* feeding stops where a final answer's head ends */
    int chunked;                   /* the last transfer coding is chunked */
    int length_count;              /* Content-Length lines seen */
    int length_conflict;           /* Content-Length values differ or cannot be read */
    long long length;              /* the Content-Length value; -1: none */
    long long left;                /* bytes of the body or chunk still to come */
    size_t head_bytes;             /* bytes of the current head */
    size_t line_length;            /* bytes of the current line so far */
    int line_cr;                   /* the current chunk line saw a CR (the next byte must be LF) */
    int lines;                     /* lines of the current head */
    int size_digits;               /* digits of the current chunk-size line */
    int size_ended;                /* the chunk size ended (extension or blanks follow) */
    long long size;                /* the chunk size being read */
    int trailer_empty;             /* the trailer line so far is empty */
    int head_overrun;              /* the head overran HT_STACK_HEAD_MAX */
    char line[HT_FRAME_LINE_KEEP]; /* start of the current head line */
} HTProxyFrame;

/* Starts the framing of one answer; head_request: the request was HEAD. */
HT_EXPORT void HTProxyFrame_init(HTProxyFrame *frame, int head_request) HT_NOEXCEPT;
/*
 * Takes the next bytes of the answer: returns how many of them belong to
 * it (all, or fewer when the answer ends or the framing breaks inside the
 * block). `interim_end`, when not null, is set to 1 when an interim
 * answer's head ended at the returned count (the caller starts the header
 * store afresh there); the framing then goes on with the final answer.
 */
HT_EXPORT size_t HTProxyFrame_feed(HTProxyFrame *frame, const char *bytes, size_t length,
                                   int *interim_end) HT_NOEXCEPT;
/* The server closed: 1 when that ends the answer completely (framed by the close), else 0. */
HT_EXPORT int HTProxyFrame_closed(HTProxyFrame *frame) HT_NOEXCEPT;
/* 1 when the answer is complete and the connection may carry another request, else 0. */
HT_EXPORT int HTProxyFrame_reusable(const HTProxyFrame *frame) HT_NOEXCEPT;

/*
 * Copies the answer waiting on `in` (bytes already buffered there first)
 * into `sink` through the stream-stack writer; the input socket's request
 * says whether the request was HEAD. A head is held until it is complete,
 * so that an over-long one reaches the client not at all. Sets the
 * context's server_close (connection not reusable), client_close (answer
 * cut short, or the client connection is to end), keep_alive_head, io_error,
 * more_to_read, output_healthy and response_length.
 * Returns the bytes read from the server (positive), HT_COPY_NOTHING,
 * HT_COPY_BROKEN, or HT_COPY_BAD_HEAD.
 */
HT_EXPORT int HTProxyCopy(HTInputSocket *in, HTStream *sink, HTThdGlobals *context) HT_NOEXCEPT;
/*
 * As HTProxyCopy for the answer to an "Expect: 100-continue" request: it
 * stops behind a 100 head (the bytes after it stay buffered in `in` for the
 * final answer) or, for a final answer, at its end. *status gets the status
 * of the last head read (-1: none). Results as HTProxyCopy.
 */
int HTProxyCopy_interim(HTInputSocket *in, HTStream *sink, int *status, HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
