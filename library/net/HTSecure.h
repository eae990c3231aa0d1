/*
 * HTSecure: the secure-socket wrapper.
 *
 * The socket layer reads, writes and closes a socket whose secure handle is
 * set through these calls, and the HTTP client starts secure sessions with
 * HTSecure_startClient. The calls carry out nothing themselves: they go to a
 * backend (a table of functions over a secure-socket toolkit). No backend is
 * built in, so that no socket ever gets a secure handle and starting a
 * session fails with the reason "secure sockets not available".
 */
#ifndef HTSECURE_H
#define HTSECURE_H

#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HT_SECURE_NOT_AVAILABLE "secure sockets not available"

typedef struct HTSecureBackend {
    /* Start a client session on the connected socket: 0 and s->secure set, or -1 and *reason. */
    int (*start_client)(HTSocket *s, const char *host, HTRequest *request, const char **reason);
    /* As recv and send: bytes (> 0), 0 at end of stream, -1 with errno. */
    int (*read)(HTSocket *s, void *buffer, int length, HTRequest *request);
    int (*write)(HTSocket *s, const void *buffer, int length, HTRequest *request);
    /* Ends the session (the descriptor stays open); request may be null. */
    int (*close)(HTSocket *s, HTRequest *request);
} HTSecureBackend;

/* Installs a backend (null: none); returns 0. Called at start-up. */
HT_EXPORT int HTSecure_setBackend(const HTSecureBackend *backend) HT_NOEXCEPT;

/* 0, or -1 with *reason (when reason is not null) set; without a backend HT_SECURE_NOT_AVAILABLE. */
int HTSecure_startClient(HTSocket *s, const char *host, HTRequest *request,
                         const char **reason) HT_NOEXCEPT;
/* Without a backend, or for a socket without a secure handle: -1 with errno ENOTCONN. */
int HTSecure_read(HTSocket *s, void *buffer, int length, HTRequest *request) HT_NOEXCEPT;
int HTSecure_write(HTSocket *s, const void *buffer, int length, HTRequest *request) HT_NOEXCEPT;
/* Ends the session and clears the handle; 0, or -1 when there was none. */
int HTSecure_close(HTSocket *s, HTRequest *request) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
