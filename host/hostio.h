/*
 * hostio: the stand-in host's error log and client write time-outs.
 *
 * The error log: a file that receives every report the library sends
 * through HTLog_errorReflector, one report per write, each line prefixed
 * with the time of day.
 *
 * Client write time-outs: with hostio_setClientTimeout the host installs the
 * writer's hooks HTClientReadTimeoutOn and Off; every socket write for a
 * request whose client descriptor was given with hostio_watchClient is then
 * bounded by the timer (hosttimer.h): a client that stops reading has its
 * socket shut down, and the write fails instead of blocking for ever.
 */
#ifndef HOSTIO_H
#define HOSTIO_H

#include "HTRequest-t.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Appends to the file and installs the library's error-log handler: 0, or -1 when it cannot be opened. */
int hostio_openErrorLog(const char *path);
/* Removes the handler and closes the file. */
void hostio_closeErrorLog(void);

/* Installs the write time-out hooks (milliseconds > 0), or removes them (0). */
void hostio_setClientTimeout(int milliseconds);
/* The request's writes go to this descriptor; -1 forgets the request. */
void hostio_watchClient(const HTRequest *request, int descriptor);

#ifdef __cplusplus
}
#endif

#endif
