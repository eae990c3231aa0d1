/*
 * hostplugin: the plug-ins the stand-in host runs, configured by directives
 * and loaded through plugrt.
 *
 *     ServicePlugin URL-PATTERN LIBRARY FUNCTION
 *
 * A request whose absolute URL matches the pattern ('*' matches any run of
 * characters) is offered to FUNCTION of LIBRARY, a service step called as
 *
 *     void FUNCTION(void *handle, long *return_code);
 *
 * on the worker, with the request bound as the thread's current one. A
 * return code of 0 declines (the request goes to the origin as usual);
 * any other code means the plug-in answered: the status it set (200 when
 * none), its Content-Type and header lines, and what it wrote go to the
 * client with a Content-Length, and the origin is never asked. Lines are
 * tried in file order; the first plug-in that answers ends the walk.
 *
 * The libraries are checked when the file is read (they must exist) and
 * loaded, with libplugrt and its callback table before them, by
 * hostplugin_load at start-up.
 */
#ifndef HOSTPLUGIN_H
#define HOSTPLUGIN_H

#include "hostconf.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Declared only: the plug-ins' own header declares the configuration record as words. */
struct HTStaticConfig;
struct HTSocket;
struct HTRequest;

HostDirectiveTable hostplugin_directives(struct HTStaticConfig *config);

/* 0 when every configured library can be opened; else -1, each failure on standard error. */
int hostplugin_check(void);
/* Loads libplugrt (installing the table) and the plug-ins: 0, or -1 with a message on standard error. */
int hostplugin_load(void);
/* Number of configured service plug-ins. */
int hostplugin_count(void);

/*
 * Offers the request to the service plug-ins. `headers`: the client's
 * header lines, each ending in CR LF. Returns the status sent when a
 * plug-in answered (its bytes in *written, and *keep 0 when the connection
 * must end), or 0 when none did (nothing written).
 */
int hostplugin_serve(const char *method, const char *url, const char *headers, int keep_alive,
                     struct HTSocket *client, struct HTRequest *request, unsigned long *written, int *keep);

#ifdef __cplusplus
}
#endif

#endif
