/*
 * HTDNSCache: cache of host name to IPv4 address lookups.
 *
 * A fixed table (319 cells of 7 entries, 11 stripe locks) that never grows:
 * a name hashes to one cell, and a full cell replaces entries with a
 * second-chance sweep. Entries expire after their time to live. Lookups and
 * additions in cells of different stripes run in parallel. Before
 * HTDNSCache_init every lookup misses and additions are dropped.
 */
#ifndef HTDNSCACHE_H
#define HTDNSCACHE_H

#include "HTResult.h"
#include "htexport.h"

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_DNS_CELLS 319
#define HT_DNS_STRIPES 11
#define HT_DNS_CELL_ENTRIES 7
#define HT_DNS_ENTRIES (HT_DNS_CELLS * HT_DNS_CELL_ENTRIES)
#define HT_DNS_NAME_SIZE 48 /* names of 47 characters at most are cached */
#define HT_DNS_DEFAULT_TTL 3600

typedef struct HTDNSEntry {
    unsigned char used;          /* set on a hit or an addition, cleared by the sweep */
    char name[HT_DNS_NAME_SIZE]; /* empty: the entry is free */
    uint32_t address;            /* as the resolver gave it (network order) */
    int32_t expiry;              /* seconds of HTtime() */
} HTDNSEntry;

/*
 * Allocates the tables and stripe locks; later calls do nothing. Out of
 * memory it goes to out_of_memory with nothing made, and a later call tries
 * again.
 */
HT_EXPORT void HTDNSCache_init(void) HT_NOEXCEPT;
/*
 * Adds the name with the address (network order), or marks an entry of the
 * name used, keeping its address and expiry. `request` is the request the
 * lookup was made for, or null; its time to live is HTDNSCache_setTimeToLive's.
 */
HT_EXPORT void HTDNSCache_add(const char *name, const uint32_t *address, const void *request) HT_NOEXCEPT;
/* HT_YES and the address stored when the name is cached and not expired, else HT_NO. */
HT_EXPORT int HTDNSCache_lookup(const char *name, uint32_t *address) HT_NOEXCEPT;
HT_EXPORT void HTDNSCache_enable(int enable) HT_NOEXCEPT;
HT_EXPORT void HTDNSCache_purge(void) HT_NOEXCEPT;
/* The time to live of new entries in seconds (the host's configuration; 3600 by default). */
HT_EXPORT void HTDNSCache_setTimeToLive(int32_t seconds) HT_NOEXCEPT;

/* Internal, for tests: the clock (null: HTtime) and an entry by index. */
void HTDNSCache__setClock(time_t (*clock)(void)) HT_NOEXCEPT;
const HTDNSEntry *HTDNSCache__entry(unsigned index) HT_NOEXCEPT;
unsigned HTDNSCache__cellOf(const char *name) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
