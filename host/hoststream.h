/*
 * hoststream: the host's two streams around a plug-in stream (a data filter
 * or a transmogrifier of libplugrt) in a proxied response.
 *
 *     loader -> head -> plug-in stream -> tail -> client writer
 *
 * The loader hands the response head to the head stream as the thread's
 * response header store; the head stream asks its owner for the response
 * record the plug-in stream takes (the owner's view of the same store) and
 * passes it on. Whatever reaches the tail goes to the client writer, the
 * head as the store holds it by then.
 *
 * When the plug-in stream may have changed the body the answer is sent
 * without the origin's Content-Length and Transfer-Encoding, delimited by
 * the close, with "Connection: close", and the client connection ends. A
 * chunked answer is de-chunked (by the library's framing) before the plug-in
 * stream sees it, so that it only ever sees the entity. A transmogrifier
 * that steps aside (message 2006 before the head reaches the tail) leaves
 * the answer as it was, framing and keep-alive included; a data filter is
 * passed by for an answer with "Cache-Control: no-transform". Bytes written
 * before any head (an error page of the library or the host) go straight to
 * the writer.
 *
 * Records come from the context's pool and live for the request. Plain C
 * interface: streams and stores are passed as void *, since the plug-in
 * side's stream type and the library's are separate declarations of one
 * layout.
 */
#ifndef HOSTSTREAM_H
#define HOSTSTREAM_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HostStreams HostStreams;

/* The head arrived: the response record to hand the plug-in stream's put_headers. */
typedef void *(*HostHeadHook)(void *owner, int status);

/* `writer`: the client writer; `context`: the worker's; `filter`: 1 for a data filter. */
HostStreams *hoststream_new(void *writer, void *context, HostHeadHook hook, void *owner, int filter);
/* The stream the loader writes to (after hoststream_set_plugin). */
void *hoststream_head(HostStreams *s);
/* The stream the plug-in stream writes to. */
void *hoststream_tail(HostStreams *s);
void hoststream_set_plugin(HostStreams *s, void *stream);

/*
 * The client writer behind `stream` when it is a plug-in chain's head (the
 * chain then takes no answer any more), else `stream`: pages this side
 * makes whole go to the client as they are.
 */
void *hoststream_client(void *stream);
/* Frees the plug-in stream if the loader never did (the writer stays as it is). */
void hoststream_release(HostStreams *s);
/* 1 once the response head has reached the head stream. */
int hoststream_head_seen(const HostStreams *s);
/* 1 when the answer went out as changed by the plug-in stream (close-delimited, connection ended). */
int hoststream_rewritten(const HostStreams *s);
/* 1 while nothing at all has been sent through the chain (an error page may still be written). */
int hoststream_untouched(const HostStreams *s);

/* The store's header lines (each with its CR LF) in order, then the added lines still waiting. */
typedef void (*HostLineFn)(void *arg, const char *line);
void hoststream_lines(HostStreams *s, HostLineFn fn, void *arg);
/*
 * Adds "NAME: VALUE" to the response; the line, or null. Until the head
 * leaves the line waits, and it goes only with an answer sent as changed.
 */
const char *hoststream_add(HostStreams *s, const char *name, const char *value);
/* 1 when the response carries Cache-Control: no-transform. */
int hoststream_no_transform(HostStreams *s);

#ifdef __cplusplus
}
#endif

#endif
