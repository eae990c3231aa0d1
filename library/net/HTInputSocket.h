/*
 * HTInputSocket: a 1024-byte read buffer in front of an HTSocket.
 *
 * The readers protocol code needs: characters with carriage returns dropped,
 * blocks of whatever is buffered, non-blocking draining, and lines with an
 * optional length limit and optional unfolding of header continuation
 * lines. Lines are strings from the request's memory pool (the request's
 * `pool` owner, null: the calling thread's), never freed one by one. Bytes
 * buffered but not yet consumed stay for the next reader, whichever it is.
 *
 * Lines. A line ends at a line feed; a carriage return just before it is
 * dropped, whichever socket reads the two arrived in. With a limit L (above
 * 1) a line of more than L characters comes in pieces of L characters, the
 * last piece holding the rest; a line of up to L characters followed by its
 * line end is never cut. With unfolding, a line followed by one that begins
 * with a blank or a tab is joined to it (the blank kept, the line break
 * dropped), and a blank line is returned as the empty string at once. Apart
 * from one rule the pieces depend only on the bytes, never on how they were
 * split into reads: a zero byte ends the line and drops the rest of the
 * bytes of that read. At end of stream a reader returns what it collected
 * (null for nothing). With the request's abort flag set every reader returns
 * its empty result without touching the socket.
 */
#ifndef HTINPUTSOCKET_H
#define HTINPUTSOCKET_H

#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_INPUT_BUFFER_SIZE 1024

typedef struct HTInputSocket {
    char *input_pointer;           /* read position */
    char *input_limit;             /* end of valid data; a zero byte is stored there */
    HTSocket *socket;
    int last_fill;                 /* result of the last buffer fill */
    int first_zero;                /* offset of the first zero byte of the buffered data (the
                                      data's length when it has none); cleared on reset */
    uint32_t bytes_read;           /* counted by fills and by HTInputSocket_moveInputPointer */
    char buffer[HT_INPUT_BUFFER_SIZE + 1];
    int heap;                      /* 1: made by HTInputSocket_newHeap */
    HTRequest *request;
} HTInputSocket;

/* From the request's pool (never null: pool exhaustion goes to out_of_memory). */
HT_EXPORT HTInputSocket *HTInputSocket_new(HTSocket *s, HTRequest *request) HT_NOEXCEPT;
/* From the heap; null when memory is short. The request may be null. */
HT_EXPORT HTInputSocket *HTInputSocket_newHeap(HTSocket *s, HTRequest *request) HT_NOEXCEPT;
/* Empties the buffer, binds the socket, clears the fill result and the byte count. */
HT_EXPORT void HTInputSocket_reset(HTInputSocket *in, HTSocket *s) HT_NOEXCEPT;
/* Frees a heap object; a pool object is left to its pool. */
HT_EXPORT void HTInputSocket_free(HTInputSocket *in) HT_NOEXCEPT;
HT_EXPORT void HTInputSocket_freeHeap(HTInputSocket *in) HT_NOEXCEPT;
/* Zeroes the buffer's bytes. */
HT_EXPORT void HTInputSocket_wipe(HTInputSocket *in) HT_NOEXCEPT;
/* The read position, and the buffered byte count through `count`. */
HT_EXPORT char *HTInputSocket_getInputPointer(HTInputSocket *in, int *count) HT_NOEXCEPT;
/* Consumes n buffered bytes (at most those buffered) and counts them as read. */
HT_EXPORT void HTInputSocket_moveInputPointer(HTInputSocket *in, int n) HT_NOEXCEPT;
HT_EXPORT uint32_t HTInputSocket_getBytesRead(HTInputSocket *in) HT_NOEXCEPT;

/* The next byte other than a carriage return; -1 at end of stream, on error or when aborted. */
HT_EXPORT int HTInputSocket_getCharacter(HTInputSocket *in) HT_NOEXCEPT;
/*
 * Up to *length buffered bytes (refilled with a blocking read when empty),
 * consumed; *length becomes their count. Null and 0 at end of stream or when
 * aborted.
 */
HT_EXPORT char *HTInputSocket_getBlock(HTInputSocket *in, int *length) HT_NOEXCEPT;
/* As HTInputSocket_getBlock, but an empty buffer is refilled without blocking: null and 0 when nothing waits. */
HT_EXPORT char *HTInputSocket_purgeBuf(HTInputSocket *in, int *length) HT_NOEXCEPT;

HT_EXPORT char *HTInputSocket_getLine(HTInputSocket *in, HTRequest *request) HT_NOEXCEPT;
/* limit 0 or 1: none. */
HT_EXPORT char *HTInputSocket_getLineEx(HTInputSocket *in, unsigned limit, HTRequest *request) HT_NOEXCEPT;
HT_EXPORT char *HTInputSocket_getUnfoldedLine(HTInputSocket *in, HTRequest *request) HT_NOEXCEPT;
HT_EXPORT char *HTInputSocket_getUnfoldedLineEx(HTInputSocket *in, unsigned limit,
                                                HTRequest *request) HT_NOEXCEPT;
/* Nothing: lines live in the request's pool. */
HT_EXPORT void HTInputSocket_freeLine(char *line) HT_NOEXCEPT;

/* One socket read of min(maximum, 1024) bytes (0: 1024) into the buffer's start; positive results are counted. */
HT_EXPORT int level3read(HTInputSocket *in, int maximum, HTRequest *request) HT_NOEXCEPT;
/* level3read, keeping the result as the fill result. */
HT_EXPORT int level35read(HTInputSocket *in, int maximum, HTRequest *request) HT_NOEXCEPT;
/*
 * The read of a split read: the position goes to the buffer's start and the
 * receive is made (its result returned); the caller hands the result to
 * level3AsyncReadDone, which does the accounting.
 */
HT_EXPORT int level3AsyncRead(HTInputSocket *in, int maximum, HTRequest *request) HT_NOEXCEPT;
HT_EXPORT int level3AsyncReadDone(HTInputSocket *in, int result) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
