/*
 * HTStreamStack: the stream-stack writer and the response header store.
 *
 * The writer sits in the response stream between the origin server and the
 * client. It reads the status line and header lines of the bytes passing
 * through into the calling thread's store (HTRespHeaders-t.h), lets them be
 * edited (HTClientRespHeaders.h), sends the possibly changed head to the
 * sink's head writer, and then passes the body on. The result depends only
 * on the bytes, never on how they were cut into blocks.
 *
 * What the writer does to a head on its way:
 * - a line with "Keep-Alive" anywhere in it (any case) is dropped; when the
 *   context's keep_alive_head is set (an HTTP/1.0 client keeps its
 *   connection), a head without a Connection line is sent with
 *   "Connection: keep-alive";
 * - a first line that gives no status code (an HTTP/0.9 answer, or a status
 *   line longer than HT_STACK_LINE_MAX) becomes "HTTP/1.0 200 Probably OK"
 *   with a Warning 299, "Connection: close" and "Cache-Control: private,
 *   no-cache"; the first line's bytes follow as body;
 * - a first line that begins "POST / HTTP/1.0" becomes "HTTP/1.0 200 OK";
 * - the body of a 304 answer is never sent;
 * - a head longer than HT_STACK_HEAD_MAX bytes ends the response: the store
 *   is marked failed (HTStreamStackStatus_failed) and nothing more is
 *   passed on, so that the loader can answer with an error of its own.
 *
 * The store belongs to the thread: the "HTClientRespHeaders" module makes
 * it when the thread starts and empties it when each request ends, so it
 * must be registered at start-up (HTClientRespHeaders_register). Without a
 * store the writer passes its bytes on unchanged and the other operations
 * do nothing. No locking: one thread, one store.
 */
#ifndef HTSTREAMSTACK_H
#define HTSTREAMSTACK_H

#include "HTGlobals-t.h"
#include "HTRespHeaders-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bounds of the head: a longer status line is an HTTP/0.9 answer, a longer head fails. */
#define HT_STACK_LINE_MAX 65536
#define HT_STACK_HEAD_MAX 65536

/* Control message sent to the sink before a head that the response never completed. */
#define HT_STACK_MSG_PURGE HT_STREAM_MSG_PURGE

/* Registers the store's module with the module registry; returns its slot. */
HT_EXPORT int HTClientRespHeaders_register(void) HT_NOEXCEPT;

/* The store of the context (null: the calling thread's), or null when there is none. */
HT_EXPORT HTRespHeaders *HTStreamStack_store(HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Takes the next `length` bytes of the response for `sink`. When the sink
 * is the plain socket writer and the context has no logging or post-exit
 * plug-in and no user-defined headers (plugin_flags), the bytes go on
 * unchanged and the store takes the response as sent. Otherwise they are
 * parsed as described above. With `state` not null, the writer phase
 * (HT_STACK_*) after the block is stored there. Result 0.
 */
HT_EXPORT int HTStreamStackWriter(const char *bytes, int length, HTStream *sink, int *state,
                                  HTThdGlobals *context) HT_NOEXCEPT;
/*
 * As HTStreamStackWriter, but while the head is being read, a header line
 * that begins with a name of the context's ignore_headers list (any case)
 * is dropped with its line end. Lines are the writer's: they end at CR, LF
 * or CR LF, whatever the blocks.
 */
HT_EXPORT int HTStreamStackWriterWriteHeader(const char *bytes, int length, HTStream *sink, int *state,
                                             HTThdGlobals *context) HT_NOEXCEPT;

/* A new response: empty status line, code -1, phase 0, both lists deleted, counters cleared. */
HT_EXPORT void HTStreamStackStatus_init(HTThdGlobals *context) HT_NOEXCEPT;
/* Phase 0 and both lists deleted; the status line stays. */
HT_EXPORT void HTStreamStackStatus_clear(HTThdGlobals *context) HT_NOEXCEPT;
/*
 * Merges the plug-in lines into the header list, in order: a line whose
 * name the response does not have is appended; next to a "Set-Cookie" it
 * is appended as well; where the response has "Warning", "Cache-Control",
 * "Pragma", "Connection" or "Via" it is dropped; any other response line of
 * that name is replaced by it. The plug-in list is deleted afterwards.
 */
HT_EXPORT void HTStreamStackStatus_mergeHeaders(HTThdGlobals *context) HT_NOEXCEPT;
/* 1 when the response head overran HT_STACK_HEAD_MAX and the response was stopped, else 0. */
HT_EXPORT int HTStreamStackStatus_failed(HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Sends the head to the sink's head writer, merging waiting plug-in lines
 * first (unless the context's no_merge word is set). An answer of
 * HT_HEADERS_TAKEN or HT_HEADERS_TAKEN_DROP resets the store and sets its
 * reset flag; any other answer moves on to the body. Returns the answer
 * (HT_HEADERS_SENT for a sink without a head writer).
 * HTClientRespHeaders_putHeadersCheckResponse does the same for a head
 * made by other means.
 */
HT_EXPORT int HTClientRespHeaders_processSendHeader(HTStream *sink, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTClientRespHeaders_putHeadersCheckResponse(HTStream *sink, HTThdGlobals *context) HT_NOEXCEPT;
/*
 * For a response stream freed before its head was sent. A first line still
 * waiting for its line end is taken as complete; then, when the head was
 * neither sent nor reset nor failed, the purge message goes to the sink and
 * the head as it stands is sent.
 */
HT_EXPORT void HTClientRespHeaders_checkHeaderSanity(HTStream *sink, HTThdGlobals *context) HT_NOEXCEPT;

/* The head writer's preparation step of the context's store (its `prepare`). */
void HTClientRespHeaders_prepareHead(HTRespHeaders *store, const char *timeHeader,
                                     long startSec, long startUsec, HTThdGlobals *context) HT_NOEXCEPT;

/* The module's callbacks (registered by HTClientRespHeaders_register). */
void *HTClientRespHeaders_threadCreate(int slot, int threadType, void *value) HT_NOEXCEPT;
int HTClientRespHeaders_threadDestroy(int slot, int threadType, void *value) HT_NOEXCEPT;
int HTClientRespHeaders_threadInit(int slot, int threadType, int context, void *value) HT_NOEXCEPT;
int HTClientRespHeaders_threadUninit(int slot, int threadType, int context, void *value) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
