/*
 * HTStream-t.h: the stream object and its class (types only).
 *
 * A response travels down a chain of streams; each stream's first word
 * points to its class, a table of nine operations in a fixed order, and
 * most streams keep their downstream target in the second word. The last
 * stream of a chain is the writer on the client socket. A class may leave
 * an operation it does not need null only where its callers allow it: the
 * library calls every operation of the writer's class.
 */
#ifndef HTSTREAM_T_H
#define HTSTREAM_T_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTStream HTStream;

typedef struct HTStreamClass {
    const char *name;
    /* Flushes and releases the stream; the second argument is not used by the library's classes. */
    int (*free)(HTStream *me, void *unused);
    int (*abort)(HTStream *me, void *reason);
    int (*put_character)(HTStream *me, int c);
    int (*put_string)(HTStream *me, const char *text);
    int (*write)(HTStream *me, const char *data, int length);
    /* Stores a class-defined status through `out` and returns it. */
    int (*status)(HTStream *me, int *out);
    /* A control message sent down the chain, with its argument (often an out value). */
    int (*message)(HTStream *me, int message, void *argument);
    /* The response's status line and header lines, in the form the header store keeps them. */
    int (*put_headers)(HTStream *me, void *headers);
} HTStreamClass;

struct HTStream {
    const HTStreamClass *isa;
};

/*
 * Control messages the library sends down a chain, and the answers of the
 * head writer (put_headers) that the response header store acts on.
 */
#define HT_STREAM_MSG_IDENTIFY 1    /* stores the stream's type through the argument */
#define HT_STREAM_MSG_PURGE 66      /* discard what is buffered; write even when aborted */
#define HT_STREAM_TYPE_WRITER 1     /* identify answer of the plain socket writer */
/*
 * Asks a stream in front of the writer whether anything has gone down its
 * chain: it stores 0 through the int argument once something has, 1 while
 * nothing has; a stream that does not answer leaves the int as it was.
 */
#define HT_STREAM_MSG_UNTOUCHED 2015

#define HT_HEADERS_SENT 1           /* the head went to the client */
#define HT_HEADERS_TAKEN 2          /* consumed elsewhere: reset the store */
#define HT_HEADERS_TAKEN_DROP 3     /* as 2, and drop the rest of the current block */

#ifdef __cplusplus
}
#endif

#endif
