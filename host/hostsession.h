/*
 * hostsession: the stand-in host's session record.
 *
 * One record per client connection, HT_SESSION_WORDS pointer-sized words
 * from the library's session pool (HTMultiSelect.h): the pool owns the
 * words it names there, and clears the request words on each hand-out and
 * release. The host keeps its connection state in words the pool leaves
 * alone. The record is also the request record that the worker pool's work
 * item points at: its first word is the sequence number, word 20 the client
 * socket and word 84 the internal-work flag (httpool.h).
 */
#ifndef HOSTSESSION_H
#define HOSTSESSION_H

#include "HTMultiSelect.h"
#include "httpool.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    HOST_SESSION_SEQUENCE = HT_SESSION_SEQUENCE,   /* the pool's index of the record */
    HOST_SESSION_SOCKET = HT_REQUEST_WORD_SOCKET,  /* client descriptor */
    HOST_SESSION_INTERNAL = HT_REQUEST_WORD_INTERNAL, /* internal work (0 here); cleared on release */
    HOST_SESSION_HTSOCKET = 30,                    /* HTSocket of the connection */
    HOST_SESSION_LOCAL_PORT = 33,                  /* port the connection arrived on */
    HOST_SESSION_CLIENT_ADDRESS = 34,              /* client IPv4 address (network order) */
    HOST_SESSION_CLIENT_PORT = 35,                 /* client port */
    HOST_SESSION_REQUESTS = 36,                    /* requests served on the connection */
    /* A server connection reserved for this client connection (persist mapping). */
    HOST_SESSION_RESERVED_SOCKET = 37,             /* its HTSocket, or 0 */
    HOST_SESSION_RESERVED_ADDRESS = 38,            /* its server's IPv4 address (network order) */
    HOST_SESSION_RESERVED_PORT = 39,               /* its server's port */
    HOST_SESSION_USE_COUNT = HT_SESSION_USE_COUNT, /* the pool's words */
    HOST_SESSION_INPUT = HT_SESSION_INPUT,         /* HTInputSocket of the connection */
    HOST_SESSION_IN_USE = HT_SESSION_IN_USE,
    HOST_SESSION_WORDS = HT_SESSION_WORDS
};

typedef struct HostSession {
    uintptr_t word[HOST_SESSION_WORDS];
} HostSession;

#ifdef __cplusplus
}
#endif

#endif
