/*
 * hostconfig: the stand-in host's configuration file.
 *
 * Fills the library's configuration record from a flat file of directives,
 * one per line (see host/README.md), then switches the socket table as the
 * file says. Bad lines are reported on standard error with their line
 * numbers and skipped.
 */
#ifndef HOSTCONFIG_H
#define HOSTCONFIG_H

#include "HTConfig.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * A directive of one part of the host: applies its one value to the record.
 * Null when done, else why the value was refused. Each part keeps a table
 * of them; the reader takes every part's table (hostconfig.cpp lists them).
 */
typedef const char *(*HostConfigApply)(HTStaticConfig *config, const char *value);
typedef struct HostConfigDirective {
    const char *name;
    HostConfigApply apply;
} HostConfigDirective;

/* 0; -1 when the file cannot be opened; otherwise the number of bad lines. */
int hostconfig_load(const char *path, HTStaticConfig *config);
/* Releases what loading stored in the record (rules, user ids, header lists and names). */
void hostconfig_free(HTStaticConfig *config);

#ifdef __cplusplus
}
#endif

#endif
