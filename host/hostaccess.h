/*
 * hostaccess: the stand-in host's access log, trace switches and the name
 * it gives itself in Via lines.
 *
 * The access log has one line per answered request:
 *
 *     CLIENT:PORT [DATE] "REQUEST LINE" STATUS BYTES conn=SEQ req=N
 *
 * (BYTES: what went to the client for it, head included; SEQ: the session
 * record's sequence number; N: the request's number on its connection,
 * from 1). It goes to standard error unless AccessLog names a file, or
 * "off" switches it off. Each line is one write, so lines of different
 * workers never interleave.
 */
#ifndef HOSTACCESS_H
#define HOSTACCESS_H

#include "hostconf.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The directives: AccessLog (path, or "off"), Trace (a module name or
 * "all", and a level 0 to 255; repeat for more) and ViaName (the name in
 * "Via: 1.1 NAME"; default "standin-proxy").
 */
struct HTStaticConfig;
HostDirectiveTable hostaccess_directives(struct HTStaticConfig *config);

/* The name of Via lines. */
const char *hostaccess_viaName(void);

/* Appends one line as described above. */
void hostaccess_log(uint32_t client_address, int client_port, const char *request_line, int status,
                    unsigned long bytes, unsigned long sequence, unsigned long number);

/* 1 when lines are written (AccessLog is not off). */
int hostaccess_enabled(void);

/* Closes a log file opened by AccessLog (lines go to standard error again). */
void hostaccess_close(void);

#ifdef __cplusplus
}
#endif

#endif
