/*
 * HTConfig: the server's static configuration record.
 *
 * The host fills HTMyStaticConfig from its configuration at start-up; it is
 * read-only while requests run, and each module reads the fields it names
 * below (a request or context carries a pointer to it). The record is 125
 * pointer-sized words on every target, because plug-ins and the host see it
 * as exported data of that size: fields are added by taking words from the
 * reserved tail, each field one word (a pointer, or an integer of pointer
 * size), and lists hang off pointers.
 */
#ifndef HTCONFIG_H
#define HTCONFIG_H

#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HT_CONFIG_WORDS 125

/* Fields in use, in order; HT_CONFIG_USED counts them. */
#define HT_CONFIG_USED 0

typedef struct HTStaticConfig {
    uintptr_t reserved[HT_CONFIG_WORDS - HT_CONFIG_USED];
} HTStaticConfig;

HT_EXPORT extern HTStaticConfig HTMyStaticConfig;

#ifdef __cplusplus
}
#endif

#endif
