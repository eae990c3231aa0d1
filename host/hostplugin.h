/*
 * hostplugin: the plug-ins the stand-in host runs, configured by directives
 * and loaded through plugrt.
 *
 *     ServicePlugin URL-PATTERN LIBRARY FUNCTION
 *
 * A request whose absolute URL matches the pattern ('*' matches any run of
 * characters) is offered to FUNCTION of LIBRARY, a service step called as
 *
 *     void FUNCTION(void *handle, long *return_code);
 *
 * on the worker, with the request bound as the thread's current one; it
 * reads the real request and its body (hostplugin_serve below). A return
 * code of 0 declines (the request goes to the origin as usual); any other
 * code means the plug-in answered: the status it set (200 when none), its
 * Content-Type and header lines, and what it wrote go to the client with a
 * Content-Length, and the origin is never asked. A plug-in that had the
 * request proxied (HTTPD_proxy) has answered with what the proxying brought,
 * the server's answer or the error page, whatever it returns; the connection
 * ends after it. Lines are tried in file order; the first plug-in that
 * answers ends the walk.
 *
 *     FilterPlugin URL-PATTERN LIBRARY OPEN WRITE CLOSE
 *     TransmogrifierPlugin URL-PATTERN LIBRARY OPEN WRITE CLOSE ERROR
 *
 * A proxied answer to a request whose URL matches goes through a plug-in
 * stream of libplugrt: a data filter (its open runs before the request is
 * sent and answers 200 to take part; write sees every block of the body and
 * passes on what it wants with HTTPD_write; close ends it), or a
 * transmogrifier (open runs on the answer's head and answers 200 to take
 * part, after HTTPD_open; write and close as the filter's, HTTPD_close ends
 * the rest of the chain; error on a failure). The first matching line of the
 * two kinds applies. Their functions are those of plugrt_host.h
 * (HTFilterOpen ..., HTTransmogrifierModule); they run on the worker with the
 * request bound as the thread's current one, on the real response: the
 * header calls act on the worker's response header store, the writes go to
 * the client writer. An answer a plug-in stream may have changed gets a
 * Warning 214 and goes without the origin's Content-Length, delimited by the
 * close, and the client connection ends (hoststream.h); an answer with
 * "Cache-Control: no-transform", and one whose transmogrifier declines at
 * its open, goes as the origin sent it.
 *
 * Every library is opened and its functions looked up when the line is
 * read, so that a missing library or function is the line's error (and
 * --check's); hostplugin_load loads them, with libplugrt and its callback
 * table before them, at start-up.
 */
#ifndef HOSTPLUGIN_H
#define HOSTPLUGIN_H

#include "hostconf.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Declared only: the plug-ins' own header declares the configuration record as words. */
struct HTStaticConfig;
struct HTSocket;
struct HTRequest;

HostDirectiveTable hostplugin_directives(struct HTStaticConfig *config);

/* 0 when every configured library can be opened; else -1, each failure on standard error. */
int hostplugin_check(void);
/* Loads libplugrt (installing the table) and the plug-ins: 0, or -1 with a message on standard error. */
int hostplugin_load(void);
/* Number of configured service plug-ins. */
int hostplugin_count(void);

/*
 * Offers the request to the service plug-ins: the request record and the
 * context as hostloader_prepare filled them, the client socket. The
 * plug-ins read method, URL, query and header lines from them and the body
 * from the client input (hostservice.h); the answer goes through the
 * response header store and a client writer. Returns the status when a
 * plug-in answered (its bytes in *written, and *keep 0 when the connection
 * must end: the client asked, the body was not read to its end, or the
 * client went silent or away while the plug-in read it, which gives 408 and
 * no answer), or 0 when none did and the request may go to the origin. A
 * plug-in that declines after taking body bytes leaves nothing to forward:
 * the client gets 500 and the connection ends.
 */
int hostplugin_serve(void *request, void *context, void *client, int keep_alive, unsigned long *written,
                     int *keep);

/* Number of configured filter and transmogrifier lines. */
int hostplugin_stream_count(void);
/*
 * For a proxied request to `url`: the plug-in stream of the first matching
 * line in front of `writer` (the client writer), with the request bound as
 * the thread's current one. *output gets the stream the loader writes to
 * (`writer` itself when no line matches or the filter declined, and then
 * the result is null). Otherwise the result is the record to pass to
 * hostplugin_streams_end once the output stream is freed.
 */
void *hostplugin_streams_begin(const char *url, void *writer, void *context, void **output);
/* 1 while nothing has gone to the client through the plug-in stream's chain. */
int hostplugin_streams_untouched(void *record);
/* Unbinds and releases the record: 1 when the answer went out changed (the connection must end). */
int hostplugin_streams_end(void *record);

#ifdef __cplusplus
}
#endif

#endif
