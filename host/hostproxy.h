/*
 * hostproxy: the configuration directives of proxy selection.
 *
 * The directives (host/README.md lists them with examples) fill the proxy
 * words of a static configuration record through the library's proxychain_*
 * functions: the per-scheme default proxies, proxy chains, the no-proxy
 * list, the round-robin parents with their fall-back, and the name and
 * port this proxy gives in its Warning lines.
 */
#ifndef HOSTPROXY_H
#define HOSTPROXY_H

#include "HTConfig.h"
#include "hostconf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The directive table, for hostconf_read with an HTStaticConfig as target. */
HostDirectiveTable hostproxy_directives(HTStaticConfig *config);
/* Releases everything the directives put into the configuration. */
void hostproxy_free(HTStaticConfig *config);

#ifdef __cplusplus
}
#endif

#endif
