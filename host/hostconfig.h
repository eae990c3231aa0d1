/*
 * hostconfig: the stand-in host's configuration file, whole.
 *
 * The host reads one flat file of directives (hostconf.h: one a line, a name
 * and the rest of the line as its value; host/README.md lists them). Each
 * part of the host brings a table of its directives: this module's are those
 * of the network layer (local address, SOCKS, socket table, writer, error
 * log); hostconfig_load reads the file with every table of the host, then
 * switches the socket table as the file says.
 */
#ifndef HOSTCONFIG_H
#define HOSTCONFIG_H

#include "HTConfig.h"
#include "hostconf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The network layer's directives, for hostconf_read with `config` as target. */
HostDirectiveTable hostconfig_directives(HTStaticConfig *config);

/*
 * Reads the host's configuration file into `config` (null: HTMyStaticConfig;
 * a null path: no file, the built-in defaults)
 * with the directives of every part of the host. The result of hostconf_read:
 * 0, the number of bad lines (each reported on standard error, the first in
 * `error`), or -1 when the file cannot be opened. `error` may be null.
 */
int hostconfig_load(const char *path, HTStaticConfig *config, char *error);
/* Releases what loading stored in the record (rules, texts, lists, proxies). */
void hostconfig_free(HTStaticConfig *config);

#ifdef __cplusplus
}
#endif

#endif
