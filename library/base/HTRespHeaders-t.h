/*
 * HTRespHeaders-t.h: the client response header store (types only).
 *
 * One store per work thread, reached through the context's
 * client_resp_headers word; the functions that fill and edit it are the
 * http layer's (HTStreamStack.h, HTClientRespHeaders.h). The store is also
 * the header set that a stream's head writer (put_headers) receives: a head
 * writer first calls `prepare`, then sends `status_line`, every line of
 * `headers` in list order and a CR LF:
 *
 *     HTRespHeaders *set = (HTRespHeaders *)headers;
 *     if (set->prepare)
 *         set->prepare(set, timeHeaderOrNull, startSec, startUsec, set->owner);
 *     put(set->status_line);
 *     for (HTList *e = set->headers ? set->headers->next : NULL; e; e = e->next)
 *         put((const char *)e->object);
 *     put("\r\n");
 *
 * Strings belong to the request's memory pool, the lists' elements to the
 * thread's list free list; the store is emptied at the end of each request.
 */
#ifndef HTRESPHEADERS_T_H
#define HTRESPHEADERS_T_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct HTList;
struct HTThdGlobals;

typedef struct HTRespHeaders HTRespHeaders;

/*
 * The head writer's steps before it sends the head. With `timeHeader` not
 * null, that header is set to "t=<start seconds><start microseconds, 6
 * digits> D=<microseconds since the start>"; then plug-in lines still
 * waiting are merged (unless the context's no_merge word is set). A null
 * context stands for the calling thread's.
 */
typedef void (*HTRespHeadersPrepare)(HTRespHeaders *store, const char *timeHeader, long startSec,
                                     long startUsec, struct HTThdGlobals *context);

/* Writer phases. */
#define HT_STACK_STATUS_LINE 0
#define HT_STACK_TWEEN 1
#define HT_STACK_HEADERS 2
#define HT_STACK_SEND_HEADERS 3
#define HT_STACK_BODY 4

/*
 * Header filter states: at a line start; passing or dropping the rest of a
 * line through its line end; a dropped line ended on CR, and an LF after it
 * goes too.
 */
#define HT_FILTER_LINE_START 0
#define HT_FILTER_PASS 1
#define HT_FILTER_DROP 2
#define HT_FILTER_DROP_LF 3

struct HTRespHeaders {
    /* ---- what a head writer reads ---- */
    char *status_line;             /* with its CR LF; the empty text when there is none */
    struct HTList *headers;        /* header lines, each ending in CR LF, in order; null: none yet */
    HTRespHeadersPrepare prepare;
    struct HTThdGlobals *owner;    /* the thread's context, whose pool holds the strings */

    /* ---- the store's own ---- */
    int phase;                     /* HT_STACK_* */
    int status_code;               /* -1: none */
    int count;                     /* lines in `headers` */
    struct HTList *headers_tail;   /* last element of `headers` (the head element when empty) */
    struct HTList *plugin;         /* lines plug-ins added before the head was parsed, or null */
    struct HTList *plugin_tail;
    char *partial;                 /* the incomplete line carried over between blocks */
    size_t partial_length;
    size_t partial_capacity;
    size_t head_bytes;             /* bytes of the head taken so far */
    int reset;                     /* the head writer answered "taken": the store was reset */
    int pending;                   /* plug-in lines wait to be merged */
    int failed;                    /* the head overran its bound: nothing more is passed on */
    /* The header filter's view of a line cut between blocks. */
    int filter_state;              /* HT_FILTER_* */
    char *filter_held;             /* the start of a line not yet judged */
    size_t filter_held_length;
    size_t filter_held_capacity;
};

#ifdef __cplusplus
}
#endif

#endif
