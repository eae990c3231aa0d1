/*
 * hostservice: what a service plug-in of the stand-in host works on, taken
 * from the real request, and its answer sent through the real response.
 *
 * The request side: method, URL, query and the client's header lines (as
 * they are forwarded) from the request record and the worker's context, and
 * the request body from the client input, each read bounded by the client
 * read time-out. The answer side: the status, header lines and body go into
 * the worker's response header store and out through a client writer, with
 * a Content-Length.
 *
 * Plain C, with the library's records passed as void *: the plug-in side
 * sees other declarations of the stream types.
 */
#ifndef HOSTSERVICE_H
#define HOSTSERVICE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HostServiceRequest {
    const char *method;
    int method_index;         /* in the method table */
    const char *url;
    const char *query;        /* after '?', or "" */
    const char *headers;      /* the client's header lines, each with CR LF */
    size_t headers_length;
    long long content_length; /* -1: none */
    int chunked;              /* the body is chunked */
    void *input;              /* the client input (entries 45 and 127) */
    int expect_continue;      /* the client waits for 100 Continue before its body */
    void *request;            /* the request record and the client socket */
    void *client;
} HostServiceRequest;

/* The view of the request record (filled for the loader), the context and the client socket. */
void hostservice_describe(void *request, void *context, void *client, HostServiceRequest *out);
/* Before the first read of a client waiting for it: sends 100 Continue (entry 94). 0, or -1. */
int hostservice_continue(const HostServiceRequest *request);

/*
 * Entry 45 on the client input: up to *count bytes (*count set to what they
 * are), or null at the end, on a read error or when the client stays silent
 * past its read time-out.
 */
const char *hostservice_read(void *input, size_t *count);
/* Entry 127: the next byte, negative as above. */
int hostservice_byte(void *input);

/*
 * Sends an answer that is whole as it stands (a proxied server's head and
 * body, taken by entry 54) to the client: the bytes the client was sent.
 */
unsigned long hostservice_forward(void *request, void *client, const char *answer, size_t length);

/*
 * Sends the answer: status and reason, header lines "Name: value" (no line
 * ends), and the body (none for a HEAD request), with a Content-Length and
 * "Connection: keep-alive" or "close". Returns the bytes the client was
 * sent; *complete gets 1 when all of them went.
 */
unsigned long hostservice_answer(void *request, void *context, void *client, int status, const char *reason,
                                 const char *const *lines, size_t count, const char *body, size_t length,
                                 int keep, int *complete);

#ifdef __cplusplus
}
#endif

#endif
