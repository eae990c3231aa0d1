/*
 * HTSocket: the socket layer.
 *
 * Every network operation of the library goes through an HTSocket and
 * these wrappers of the BSD calls. Beyond the plain calls they keep the last
 * error in the object, count bytes per object and in the process-wide
 * performance counters, stamp the request's last-activity time, send a
 * socket's traffic through the secure-socket wrapper when it carries a
 * secure connection, check descriptor ownership (htstab.h), bind outgoing
 * connections to the configured local address and route them through SOCKS
 * version 4 servers as the configuration says (HTSocks.h).
 *
 * Objects come from a process-wide free queue and go back to it on close;
 * they are never freed. One thread uses an object at a time. Every send
 * carries MSG_NOSIGNAL: a peer that has gone away gives an error, never a
 * SIGPIPE. Every function taking an object returns -1 (or null) at once for
 * a null object, except the counter fetches (0) and HTSocket_getsockname,
 * which passes descriptor 0 on. The configuration is the request's, or
 * HTMyStaticConfig for a null request or one without a configuration.
 */
#ifndef HTSOCKET_H
#define HTSOCKET_H

#include "HTConfig.h"
#include "HTList.h"
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- performance counters shared with the host ---- */

#define HT_PERF_WORDS 32
#define HT_PERF_BYTES_WRITTEN 0  /* bytes written by the socket layer */
#define HT_PERF_BYTES_READ 19    /* bytes read by the socket layer */

/* Words of the host's performance record; written with atomic adds from every thread. */
typedef struct HTPerformanceCounters {
    uint32_t word[HT_PERF_WORDS];
} HTPerformanceCounters;

HT_EXPORT extern HTPerformanceCounters GlobalPerformanceCounters;
/* Adds to a word atomically (a 32-bit add: the production target has no 64-bit atomics). */
void HTPerf_add(int word, uint32_t amount) HT_NOEXCEPT;

/* ---- objects: free queue, creation, closing ---- */

#define HT_SOCKET_QUEUE_GROWTH 100

/* Creates the queue and its lock if absent and adds n zeroed objects. */
HT_EXPORT void HTSocketQueue_init(int n) HT_NOEXCEPT;
/* A fresh object: descriptor -1, error 0, pooled 1, no options, no secure handle, counters 0. */
HT_EXPORT HTSocket *HTSocketQueue_get(void) HT_NOEXCEPT;
/* Puts it back (queued 1, descriptor -1, pooled 0); an object already queued is left alone. */
HT_EXPORT void HTSocketQueue_return(HTSocket *s) HT_NOEXCEPT;

/* host and port only appear in the trace. Null when the descriptor cannot be made. */
HT_EXPORT HTSocket *HTSocket_new(int domain, int type, int protocol, const char *host, int port,
                                 HTRequest *request) HT_NOEXCEPT;
/* A new descriptor in the given object, entered in the socket table; null on failure. */
HT_EXPORT HTSocket *HTSocket_newInStruct(HTSocket *s, int domain, int type, int protocol,
                                         const char *host, int port, HTRequest *request) HT_NOEXCEPT;
/* An object from the queue for the accepted connection (not entered in the socket table), or null. */
HT_EXPORT HTSocket *HTSocket_accept(HTSocket *listening, struct sockaddr *address,
                                    socklen_t *length) HT_NOEXCEPT;
/* The result of close(); a pooled object goes back to the queue. */
HT_EXPORT int HTSocket_close(HTSocket *s, const char *file, int line, HTRequest *request) HT_NOEXCEPT;
/* Closes the descriptor (0 when there was none) and keeps the object for reopening. */
HT_EXPORT int HTSocket_closeNoFree(HTSocket *s, const char *file, int line, HTRequest *request) HT_NOEXCEPT;
/* The collectors' close: no socket table, no request; -1 without an open descriptor. */
HT_EXPORT int HTSocket_gcClose(HTSocket *s, const char *file, int line) HT_NOEXCEPT;

/* ---- I/O ---- */

/* Bytes read (> 0); 0 at end of stream and when the read would block (EAGAIN saved); -1 on error. */
HT_EXPORT int HTSocket_read(HTSocket *s, void *buffer, int length, HTRequest *request) HT_NOEXCEPT;
/*
 * Writes the whole length unless an error stops it: the bytes written, or,
 * when nothing was written, the failing call's result (0 or -1) with its
 * error saved.
 */
HT_EXPORT int HTSocket_write(HTSocket *s, const void *buffer, int length, HTRequest *request) HT_NOEXCEPT;
/*
 * One gathered send with the request's send-control data as ancillary data:
 * the bytes sent (possibly fewer than length), or -1.
 */
HT_EXPORT int HTSocket_writemsg(HTSocket *s, const void *buffer, int length, HTRequest *request) HT_NOEXCEPT;
/*
 * Zero-copy moves between a plain socket and a pipe (splice): up to length
 * bytes from the socket into the pipe's write end, or from the pipe's read
 * end onto the socket. The bytes moved (the read: 0 at end of stream), or
 * -1 with the error saved; counted and time-stamped as reads and writes
 * are. A secure socket never splices: -1 with EINVAL, nothing moved.
 */
HT_EXPORT int HTSocket_spliceIn(HTSocket *s, int pipe_in, int length, HTRequest *request) HT_NOEXCEPT;
HT_EXPORT int HTSocket_spliceOut(HTSocket *s, int pipe_out, int length, HTRequest *request) HT_NOEXCEPT;
/* The system calls; results >= 0 are added to the object's counters, failures save errno. */
HT_EXPORT ssize_t HTSocket_recv(HTSocket *s, void *buffer, size_t length, int flags) HT_NOEXCEPT;
HT_EXPORT ssize_t HTSocket_recvfrom(HTSocket *s, void *buffer, size_t length, int flags,
                                    struct sockaddr *from, socklen_t *fromLength) HT_NOEXCEPT;
HT_EXPORT ssize_t HTSocket_recvmsg(HTSocket *s, struct msghdr *message, int flags) HT_NOEXCEPT;
HT_EXPORT ssize_t HTSocket_send(HTSocket *s, const void *buffer, size_t length, int flags) HT_NOEXCEPT;
HT_EXPORT ssize_t HTSocket_sendto(HTSocket *s, const void *buffer, size_t length, int flags,
                                  const struct sockaddr *to, socklen_t toLength) HT_NOEXCEPT;
HT_EXPORT ssize_t HTSocket_sendmsg(HTSocket *s, const struct msghdr *message, int flags) HT_NOEXCEPT;
/* Reads until length bytes arrived or the peer closed: the bytes received, or -1 on error. */
HT_EXPORT int receive_all(HTSocket *s, void *buffer, int length, int flags) HT_NOEXCEPT;
/* Polls once for input: > 0 ready, 0 time-out, -1 on error or hang-up. */
HT_EXPORT int HTSocket_isready(HTSocket *s, int timeoutMs) HT_NOEXCEPT;
/* The counter's value, which is reset to 0; 0 for null. */
HT_EXPORT uint32_t HTSocket_getReadBytes(HTSocket *s) HT_NOEXCEPT;
HT_EXPORT uint32_t HTSocket_getWriteBytes(HTSocket *s) HT_NOEXCEPT;

/* ---- control ---- */

/*
 * Connects, directly or through SOCKS as the configuration says. Through a
 * list of SOCKS servers the object may be replaced by a new one (stored
 * through `s`) carrying the same remembered options. 0 on success; -1 (or
 * the failing connect's result) otherwise; -1 when the rules deny the
 * destination.
 */
HT_EXPORT int HTSocket_connect(HTSocket **s, const struct sockaddr *address, socklen_t length,
                               HTRequest *request) HT_NOEXCEPT;
/* The SOCKS v4 CONNECT exchange with one server (on port 1080): 0 granted, -1 otherwise. */
HT_EXPORT int HTSocket_connectSocks(HTSocket *s, const struct sockaddr_in *destination,
                                    const struct sockaddr_in *server, HTRequest *request) HT_NOEXCEPT;
/*
 * Tries the servers in order (struct sockaddr_in objects), each on a new
 * socket after a failure: 0 when one granted the connection, -1 when none
 * did or a new socket could not be made (the caller's object then stays
 * with the caller, closed).
 */
HT_EXPORT int HTSocks_connectServerList(HTSocket **s, const struct sockaddr *destination,
                                        socklen_t length, HTList *servers, HTRequest *request) HT_NOEXCEPT;
/* flag non-zero: blocking. The result of the FIONBIO request. */
HT_EXPORT int HTSocket_setBlocking(HTSocket *s, int flag) HT_NOEXCEPT;
/* setsockopt; with flexible SOCKS on (and no old-style server) the option is also remembered. */
HT_EXPORT int HTSocket_setsockopt(HTSocket *s, int level, int name, const void *value,
                                  socklen_t length, HTRequest *request) HT_NOEXCEPT;
HT_EXPORT int HTSocket_getsockopt(HTSocket *s, int level, int name, void *value, socklen_t *length) HT_NOEXCEPT;
HT_EXPORT int HTSocket_getsockname(HTSocket *s, struct sockaddr *address, socklen_t *length) HT_NOEXCEPT;
HT_EXPORT int HTSocket_getpeername(HTSocket *s, struct sockaddr *address, socklen_t *length) HT_NOEXCEPT;
HT_EXPORT int HTSocket_bind(HTSocket *s, const struct sockaddr *address, socklen_t length) HT_NOEXCEPT;
HT_EXPORT int HTSocket_listen(HTSocket *s, int backlog) HT_NOEXCEPT;
HT_EXPORT int HTSocket_shutdown(HTSocket *s, int how) HT_NOEXCEPT;
HT_EXPORT struct hostent *HTSocket_gethostbyname(const char *name) HT_NOEXCEPT;
/* 0: nothing to set up on this platform. */
HT_EXPORT int sock_init(void) HT_NOEXCEPT;

/* ---- portability helpers ---- */

HT_EXPORT int HTCloseOnExec(int descriptor) HT_NOEXCEPT;
HT_EXPORT int HTMkdir(const char *path, mode_t mode) HT_NOEXCEPT;
HT_EXPORT void HTSetMaxFiles(void) HT_NOEXCEPT;
HT_EXPORT void HTConvertToSlash(char *path) HT_NOEXCEPT;
/* A heap copy; a relative path gets the current directory (of any length) and "/" in front. Null on failure. */
HT_EXPORT char *HTMakeAbsolutePath(const char *path) HT_NOEXCEPT;
HT_EXPORT char *HTStrtok(char *text, const char *delimiters, char **save) HT_NOEXCEPT;
HT_EXPORT void *HTStrtok_allocmem(size_t size, HTThdGlobals *pool) HT_NOEXCEPT;
/* The system's text for the error number (a per-thread buffer). */
HT_EXPORT const char *HTStrerror(int error) HT_NOEXCEPT;
/*
 * Adds SA_RESTART to the action of every signal from 1 to SIGRTMAX except
 * SIGKILL and SIGSTOP, and blocks SIGPROF in the calling thread.
 */
HT_EXPORT void HTGlobalSignalSetup(void) HT_NOEXCEPT;

/* ---- raw I/O callbacks for a secure-socket toolkit ---- */

HT_EXPORT int vxlREAD(int descriptor, void *buffer, int length) HT_NOEXCEPT;
HT_EXPORT int vxlWRITE(int descriptor, const void *buffer, int length) HT_NOEXCEPT;
/* The peer's IPv4 address (network order), 0 when it cannot be read. */
HT_EXPORT uint32_t vxlGETPEERID(int descriptor) HT_NOEXCEPT;
/* Options 900 and 901 switch the descriptor to blocking and give 0; others -1. */
HT_EXPORT int vxlSETSOCKETOPTIONS(int descriptor, int option) HT_NOEXCEPT;

/* Internal, for tests: objects waiting in the free queue. */
int HTSocketQueue__count(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
