/*
 * HTSocket-t.h: the socket object (types only).
 *
 * Every network operation of the library goes through one HTSocket: the
 * descriptor with its last error, its byte counters and, for a secure
 * connection, the secure-socket handle. Objects are recycled through the
 * socket layer's free queue and never freed. Nine words on every target.
 */
#ifndef HTSOCKET_T_H
#define HTSOCKET_T_H

#include <stdint.h>
#include <sys/socket.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A socket option set on the socket, replayed on a replacement socket. */
typedef struct HTSocketOption {
    int level;
    int name;
    void *value;                   /* private heap copy */
    socklen_t length;
    struct HTSocketOption *next;
} HTSocketOption;

typedef struct HTSocket {
    int32_t socket;                /* descriptor; -1: none */
    int32_t error;                 /* errno of the last failing call on this socket */
    int32_t pooled;                /* 1: handed out by the free queue; closing returns it */
    int32_t queued;                /* 1: sits in the free queue */
    HTSocketOption *options;       /* remembered options, in the order they were set */
    uintptr_t secure;              /* secure-socket handle; 0: plain socket */
    uintptr_t secure_state;        /* cleared when the socket is closed */
    uint32_t bytes_read;           /* since the counter was last fetched */
    uint32_t bytes_written;
} HTSocket;

#ifdef __cplusplus
}
#endif

#endif
