/*
 * HTTCP: IPv4 address text, name resolution, the local host and domain names
 * and the list of the server's own addresses.
 *
 * Host names and the address list are set up at start-up; later reads take
 * no lock. Resolver calls are the reentrant ones with a work buffer on the
 * caller's stack.
 */
#ifndef HTTCP_H
#define HTTCP_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for a dotted IPv4 address and its terminator. */
#define HT_INET_STRING_SIZE 16

/* The address as dotted decimal into `buffer` (HT_INET_STRING_SIZE bytes); returns the buffer. */
HT_EXPORT char *HTInetString(const struct sockaddr_in *address, char *buffer) HT_NOEXCEPT;

/* Traces the current errno after a failed call to `where`; returns -errno. */
HT_EXPORT int HTInetStatus(const char *where) HT_NOEXCEPT;

/*
 * Fills the IPv4 socket address from "host" or "host:port". The port is
 * taken when a digit follows the first ":" and must be at most 65535; else
 * the address's port stays as it was. A host of digits and dots must be a
 * valid address; a name is asked of the DNS cache first, then of the
 * resolver (the answer is cached); the time the resolver call took is
 * stored in the context's dns_lookup_usec (null context: the calling
 * thread's; a context's request start clears it). Returns 0, or -1 when the
 * text is bad or the name cannot be resolved. The text is not changed.
 */
HT_EXPORT int HTParseInet(struct sockaddr_in *address, const char *text, HTThdGlobals *context) HT_NOEXCEPT;

/* The peer's name by reverse lookup as a heap text (the caller frees it), or null. */
HT_EXPORT char *HTGetHostName(const struct sockaddr_in *address) HT_NOEXCEPT;

/*
 * The local fully qualified host name, and its domain part (the text from
 * its first "."; empty when it has none). Found once; null when the system
 * has no name, or when memory is short (they are looked for again then).
 */
HT_EXPORT const char *HTHostName(void) HT_NOEXCEPT;
HT_EXPORT const char *HTDomainName(void) HT_NOEXCEPT;
/*
 * A name with a "." is taken as it is; one without gets the system's domain
 * appended. Out of memory: out_of_memory, the names in use unchanged.
 */
HT_EXPORT void HTSetHostName(const char *name) HT_NOEXCEPT;
/* Forgets both names; the next HTHostName finds them again. */
HT_EXPORT void HTUnSetHostName(void) HT_NOEXCEPT;

/*
 * Appends the IPv4 address of every interface of the host (read through the
 * socket with the interface-configuration request), then "0.0.0.0", to the
 * server address list. Returns the number of addresses added, or -1 when the
 * interface list cannot be read (only "0.0.0.0" is added then). Memory
 * running short goes to out_of_memory; the addresses added before stay.
 */
HT_EXPORT int InitIPAddresses(int socket) HT_NOEXCEPT;
/* Appends one address text to the server address list (out of memory: out_of_memory). */
HT_EXPORT void ServerIPListAdd(const char *address, int trace) HT_NOEXCEPT;
/* 1 when the text equals an entry of the server address list, else 0. */
HT_EXPORT int checkServerIPList(const char *address, int trace) HT_NOEXCEPT;

/*
 * The client port, the client address text and the server address text of
 * the connection the context (null: the calling thread's) serves. The first
 * call asks the socket (getpeername, getsockname) and keeps the answer in
 * the session; later calls return the kept value. Without an open socket
 * the port is 0 and the texts are empty.
 */
HT_EXPORT int ClientPort(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT const char *FetchHTClientHost(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT const char *FetchHTServerAddr(HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Starts the reverse lookup of the client's name for the session of the
 * context (null: the calling thread's) on a thread of its own. Returns 0 when
 * started, 1 when a lookup was already started for this session, -1 when it
 * could not be started (no session, no address, no thread).
 */
HT_EXPORT int HTClientName_start(HTThdGlobals *context, const struct sockaddr_in *address) HT_NOEXCEPT;

/*
 * The client's name found by the lookup started for the session: the first
 * call waits for the lookup to end, later calls return the same answer at
 * once. Null when no lookup was started or none found a name. The text
 * belongs to the session and lives until the session ends.
 */
HT_EXPORT const char *FetchClientHostName(HTThdGlobals *context) HT_NOEXCEPT;

/* Waits for a running lookup and releases its answer; the session then has
 * none. Called when a session ends or is reused. */
HT_EXPORT void HTClientName_forget(HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Registers the client-name lookups with the module registry (once; start-up
 * does it, and the first HTClientName_start makes sure of it): when a
 * session begins or ends, and when its thread ends, a running lookup is
 * waited for and its answer released, before the session is reused or freed.
 * Returns the module's slot, or -1 when the registry is full.
 */
int HTClientName_register(void) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
