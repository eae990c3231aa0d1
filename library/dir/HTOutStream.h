/*
 * HTOutStream: the streams a loader writes a generated answer to.
 *
 * Both sit on the request's client writer (HTWriter.h; made with
 * HTWriter_newNoClose on the client socket, usually the request's
 * output_stream) and put a status line and a Content-Type line before the
 * body, with a Content-Length line whenever the length is known. An answer
 * sent without one ends the client connection after it (the context's
 * client_close word is set), because the client can find its end only by the
 * close. An HTTP/1.0 client that asked to keep its connection (the
 * request's keep_alive) is told "Connection: keep-alive" with a length.
 * No head at all goes to an HTTP/0.9 client.
 *
 * - The HTML stream is what a page generator writes to (the stream of the
 *   WWW_HTML format): it keeps the whole page in the request's pool and
 *   sends head and page when it is freed, so the page always goes with its
 *   Content-Length, and a page abandoned half-way (aborted) sends nothing:
 *   the loader can still answer with an error page on the same writer.
 * - The raw stream sends its head before its first byte. With a declared
 *   length it passes at most that many bytes; when fewer arrive before it
 *   is freed the client connection is ended, since the head promised more.
 *
 *     HTStream *page = HTOutStream_newHTML(request, NULL, 200, context);
 *     page->isa->put_string(page, "<html>...</html>\n");
 *     page->isa->free(page, NULL);      // head, page, and the writer freed
 *
 * For a HEAD request (HT_METHOD_HEAD) both send the head, with the length
 * the body would have, and no body.
 *
 * Freeing either stream flushes and frees the writer beneath it (a writer
 * tolerates being freed again by the host) and sets the context's
 * output_healthy word: 1 when the client took the whole answer, else 0.
 * Aborting drops what the stream holds (output_healthy 0); a raw stream
 * whose head has gone out aborts the writer as well and ends the client
 * connection. Streams come from the request's pool and
 * belong to one thread. Exhausted memory goes to out_of_memory().
 */
#ifndef HTOUTSTREAM_H
#define HTOUTSTREAM_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A raw stream's length when it is not known. */
#define HT_OUT_LENGTH_UNKNOWN (-1LL)

/*
 * The HTML stream over `sink` (null: the request's output_stream), for an
 * answer with HTTP status `status`. Null when there is no sink.
 */
HT_EXPORT HTStream *HTOutStream_newHTML(HTRequest *request, HTStream *sink, int status,
                                        HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The raw stream over `sink` (null: the request's output_stream), with the
 * content type text (null: HT_SUFFIX_DEFAULT_TYPE of HTSuffix.h) and the
 * body length in bytes, or HT_OUT_LENGTH_UNKNOWN. Null when there is no sink.
 */
HT_EXPORT HTStream *HTOutStream_newRaw(HTRequest *request, HTStream *sink, int status,
                                       const char *contentType, long long length,
                                       HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Adds a Content-Encoding line with the text (which must outlive the
 * stream) to a raw stream's head: 0, or -1 when the stream is not a raw
 * stream or its head has gone out.
 */
HT_EXPORT int HTOutStream_setEncoding(HTStream *stream, const char *encoding) HT_NOEXCEPT;

/* The reason phrase of an HTTP status ("OK", "Not Found", ...; "Unknown" for others). */
HT_EXPORT const char *HTOutStream_reason(int status) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
