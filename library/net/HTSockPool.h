/*
 * HTSockPool: the pool of idle origin connections and its collector.
 *
 * Connections to origin servers that can be kept open are parked here,
 * keyed by the server's IPv4 address and port, and the HTTP client takes a
 * parked one before it opens a new connection. A server's connections are
 * handed out newest first, and only while the newest has waited at most the
 * idle limit (the request configuration's server_idle_limit): when even the
 * newest is older, the taker moves the server's whole chain to its bad
 * chain for the collector and opens a new connection. A server with more
 * than max_socket_per_server connections parked already gets the next one
 * closed instead of parked (a park is refused only when the count is
 * greater, so up to max + 1 are parked).
 *
 * A collector thread closes what has waited too long: its first pass runs
 * one idle limit after the pool starts, then one every server_gc_interval
 * seconds (at least one) or when woken with wakeupGCSC. It reads the
 * configuration that was current for the thread that started the pool
 * (HTMyStaticConfig when that thread had none) and closes with
 * HTSocket_gcClose, counting one outbound association less for each.
 *
 * The table has 256 chains of server nodes under 64 read-write locks, each
 * node's parked connections under one of 128 mutexes and its bad chain
 * under one of 128 more; nodes are never removed, so a node pointer stays
 * valid without its chain's lock. Indexes come from afs_HashBytes over the
 * four bytes of the key (address + port, as 32-bit unsigned) in memory
 * order, so they differ between byte orders.
 *
 * The pool starts once (oSockPoolInit); every entry point starts it first.
 * Traces go to module "http". Running out of memory for a block of nodes or
 * links goes to out_of_memory with no lock held ("ohashNewBlock",
 * "osocketNewBlock").
 */
#ifndef HTSOCKPOOL_H
#define HTSOCKPOOL_H

#include "HTRequest-t.h"
#include "HTResult.h"
#include "HTSocket-t.h"
#include "htexport.h"

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_SOCKPOOL_CHAINS 256
#define HT_SOCKPOOL_MUTEXES 128
#define HT_SOCKPOOL_RWLOCKS 64
#define HT_SOCKPOOL_NODE_BLOCK 128
#define HT_SOCKPOOL_LINK_BLOCK 256

/* Results of addConnectionToPool. */
#define HT_SOCKPOOL_DONE 0       /* parked, or closed because of the per-server limit */
#define HT_SOCKPOOL_NOT_ADDED 1  /* a missing argument, or no pool: the caller keeps the socket */

/* A parked connection. */
typedef struct HTSockPoolLink {
    struct HTSockPoolLink *next;
    HTSocket *socket;
    time_t parked;                  /* HTtime() when parked */
} HTSockPoolLink;

/* A server of the table. */
typedef struct HTSockPoolServer {
    struct HTSockPoolServer *next;
    uint32_t address;               /* IPv4, as in sin_addr (network order) */
    int port;
    HTSockPoolLink *chain;          /* parked connections, newest first */
    int count;                      /* links on the chain */
    HTSockPoolLink *bad;            /* found stale, waiting for the collector */
    time_t lastUsed;                /* when the chain last went from empty to non-empty */
    int mutex;                      /* index of the node's mutexes (one hash of the key) */
} HTSockPoolServer;

/*
 * Closes a connection the per-server limit refused. The default closes it
 * with HTSocket_close and counts one outbound association less; the HTTP
 * client installs its own connection close here.
 */
typedef void (*HTSockPoolCloseFn)(HTSocket *socket, HTRequest *request);
/* Installs the close of refused connections (null: the default). */
HT_EXPORT void HTSockPool_setRefusedClose(HTSockPoolCloseFn close) HT_NOEXCEPT;

/*
 * Starts the pool once: its locks and the collector thread. HT_OK, or
 * HT_ERROR when the locks cannot be made (a later call tries again). A
 * collector that cannot be started ends the process with status 1.
 */
HT_EXPORT int oSockPoolInit(void) HT_NOEXCEPT;
/*
 * The newest connection parked for the server, if it has waited at most
 * the idle limit; otherwise null (and, when the parked ones are all too
 * old, they go to the collector).
 */
HT_EXPORT HTSocket *GetSockPoolConnection(uint32_t address, int port, HTRequest *request) HT_NOEXCEPT;
/*
 * Parks the connection: HT_SOCKPOOL_DONE when parked, or closed through
 * the refused-connection close because the server has more than
 * max_socket_per_server parked; HT_SOCKPOOL_NOT_ADDED for a null socket,
 * address 0 or port 0, or when the pool cannot start.
 */
HT_EXPORT int addConnectionToPool(uint32_t address, int port, HTSocket *socket, HTRequest *request) HT_NOEXCEPT;
/* The collector thread; `config` is the HTStaticConfig it reads (null: HTMyStaticConfig). Never returns. */
HT_EXPORT void *garbage_collect_server_conn(void *config) HT_NOEXCEPT;
/* Wakes the collector for a pass now. */
HT_EXPORT void wakeupGCSC(void) HT_NOEXCEPT;
/*
 * One collection pass: closes the connections parked more than `limit`
 * seconds ago and every connection on a bad chain. 0.
 */
HT_EXPORT int GarbageCollectServerSockets(int limit) HT_NOEXCEPT;
/* Traces the nodes from `node` on (with their chains when `chains` is non-zero). */
HT_EXPORT void dumpServerList(const HTSockPoolServer *node, int chains) HT_NOEXCEPT;
/* Traces the links from `link` on. */
HT_EXPORT void dumpSocketList(const HTSockPoolLink *link) HT_NOEXCEPT;

/* Internal, for tests: 1 and the counts when the server has a node, else 0. */
int HTSockPool__server(uint32_t address, int port, int *parked, int *bad) HT_NOEXCEPT;
/* Internal, for tests: the server's chain index. */
int HTSockPool__chainOf(uint32_t address, int port) HT_NOEXCEPT;
/* Internal, for tests: makes the server's parked connections (and its last use) `seconds` older. */
void HTSockPool__age(uint32_t address, int port, int seconds) HT_NOEXCEPT;
/* Internal, for tests: called with each socket the collector is about to close. */
typedef void (*HTSockPoolObserver)(HTSocket *socket);
void HTSockPool__setCollectObserver(HTSockPoolObserver observer) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
