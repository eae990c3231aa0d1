/*
 * HTWriter: the output writer, stream class "SocketWriter".
 *
 * The last stream of every response: it collects bytes in a 4096-byte
 * buffer and sends them to the client socket through the socket layer. It
 * writes the status line and headers (dropping those the configuration
 * blocks), sends blocks that do not fit straight from the caller's memory
 * after one flush, makes the first packet of a large response one full
 * 1460-byte segment, and answers the control messages below. Once a write
 * fails (or, with socket debugging on, the socket turns out not to belong to
 * this request any more) the error flag is set and nothing more is sent.
 * While the request's abort flag is set, output is dropped unless a purge
 * asked for it. The host's hooks HTClientReadTimeoutOn and Off, when set,
 * are called with the request just before and after each socket write.
 *
 * A writer is made from the request's memory pool and used by one thread.
 */
#ifndef HTWRITER_H
#define HTWRITER_H

#include "HTList.h"
#include "HTRequest-t.h"
#include "HTRespHeaders-t.h"
#include "HTSocket-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_WRITER_BUFFER_SIZE 4096
#define HT_WRITER_SEGMENT 1460

/* Control messages (HTWriter_catchMessage); the argument points to an int unless stated. */
#define HT_MSG_IDENTIFY HT_STREAM_MSG_IDENTIFY /* stores HT_STREAM_TYPE_WRITER */
#define HT_MSG_PURGE HT_STREAM_MSG_PURGE       /* drops the buffered bytes; output goes on while aborted */
#define HT_MSG_NO_STORE 2000       /* the buffer is wiped when the writer is freed */
#define HT_MSG_NO_STORE_QUERY 2001 /* stores the no-store flag */
#define HT_MSG_DONT_BUFFER 2003    /* every later put is sent at once */
#define HT_MSG_SEND_100 2004       /* argument: the protocol text; sends "<it> 100 continue" at once */
#define HT_MSG_HEADER_LENGTH 2010  /* stores the byte count of the head */
#define HT_MSG_BODY_LENGTH 2011    /* stores the final body count */
#define HT_MSG_CLOSE_CLIENT 2012   /* flushes and shuts the socket down both ways */
#define HT_MSG_QUERY_STATUS 2013   /* stores -1 when the connection is broken, else leaves the int */

typedef struct HTWriter {
    const HTStreamClass *isa;
    uintptr_t spare;
    HTSocket *socket;
    struct sockaddr_in client;     /* the request's client, copied when socket debugging is on */
    int write_pos;                 /* bytes buffered */
    int no_close;                  /* 1: never close the socket */
    int error;                     /* 1: broken; nothing more is sent */
    int last_result;               /* of the last socket write */
    int no_store;
    int buffering;                 /* 1: collect output; 0: send after every put */
    int starter_done;
    int free_count;
    int write_when_aborted;
    HTRequest *request;
    char buffer[HT_WRITER_BUFFER_SIZE];
    int descriptor;                /* the socket's descriptor at creation */
    uint32_t body_count;           /* bytes put since the head */
    uint32_t header_count;
    uint32_t final_body_count;     /* set when the writer is freed */
    int freed;
} HTWriter;

/*
 * The head handed to HTWriter_putHeaders is the client response header
 * store's record (HTRespHeaders-t.h): its status line and header lines, each
 * a text ending in CR LF, sent in list order. Before sending, the writer
 * calls the record's prepare step, which sets the response-time header when
 * the configuration asks for it and merges the plug-ins' lines; a record
 * without one (a head made by hand) gets the response-time header from the
 * writer itself.
 */
/* "t=<start seconds><start microseconds, 6 digits> D=<microseconds since the start>"; the length written. */
int HTWriter_responseTimeValue(const HTRequest *request, char *buffer, size_t size) HT_NOEXCEPT;

/* The host's write time-out hooks (null: none). */
typedef void (*HTClientTimeoutHook)(HTRequest *request);
HT_EXPORT extern HTClientTimeoutHook HTClientReadTimeoutOn;
HT_EXPORT extern HTClientTimeoutHook HTClientReadTimeoutOff;

extern const HTStreamClass HTWriterClass;

/* A writer on the socket, buffering; the third argument is not used. */
HT_EXPORT HTStream *HTWriter_new(HTSocket *s, HTRequest *request, void *unused) HT_NOEXCEPT;
/* As HTWriter_new; the socket is never closed by the writer. */
HT_EXPORT HTStream *HTWriter_newNoClose(HTSocket *s, HTRequest *request) HT_NOEXCEPT;

/* The class operations: 0, or -1 once the connection is broken. */
HT_EXPORT int HTWriter_put_character(HTStream *me, int c) HT_NOEXCEPT;
HT_EXPORT int HTWriter_put_string(HTStream *me, const char *text) HT_NOEXCEPT;
HT_EXPORT int HTWriter_write(HTStream *me, const char *data, int length) HT_NOEXCEPT;
/* head: an HTRespHeaders record (null: nothing but the line end of the head). 1. */
HT_EXPORT int HTWriter_putHeaders(HTStream *me, void *head) HT_NOEXCEPT;
/* The result of the last socket write, also stored through out. */
HT_EXPORT int HTWriter_status(HTStream *me, int *out) HT_NOEXCEPT;
/* 0 for the messages above, -1 for an unknown one. */
HT_EXPORT int HTWriter_catchMessage(HTStream *me, int message, void *argument) HT_NOEXCEPT;
/* Flushes, closes the socket unless no-close, records the body count: 0, or -1 when broken. */
HT_EXPORT int HTWriter_free(HTStream *me, void *unused) HT_NOEXCEPT;
HT_EXPORT int HTWriter_abort(HTStream *me, void *reason) HT_NOEXCEPT;
/* With socket debugging on: 0 when the socket still belongs to the request, else -1 (the writer is broken then). */
HT_EXPORT int HTWriter_paranoiaCheck(HTStream *me) HT_NOEXCEPT;

/*
 * Relays up to length bytes read from the socket `from` to the writer's
 * socket without passing them through memory of this process: the buffered
 * bytes go first, then one read's worth moves through the thread's pipe
 * (splice). The bytes read from `from` (all of them sent, unless the write
 * failed: the error flag is set then, as a failed write sets it), 0 at its
 * end of stream, -1 when the read failed (its error saved in `from`), or
 * HT_RELAY_UNAVAILABLE, nothing read, when this writer or socket cannot
 * relay (a secure socket, socket debugging, send-control data, a broken or
 * aborted writer, no pipe, a socket that cannot splice): the caller reads
 * and writes the bytes itself then.
 */
#define HT_RELAY_UNAVAILABLE (-2)
HT_EXPORT int HTWriter_relay(HTStream *me, HTSocket *from, int length) HT_NOEXCEPT;

/* One send of the bytes (HTSocket_writemsg). */
HT_EXPORT int level3write(HTSocket *s, const char *data, int length, HTRequest *request) HT_NOEXCEPT;

/* Internal, for tests: called after every level3write with its bytes and result. */
typedef void (*HTWriterObserver)(const char *data, int length, int result);
void HTWriter__setObserver(HTWriterObserver observer) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
