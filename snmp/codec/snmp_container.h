/*
 * snmp_container: the value containers of the SNMP relay.
 *
 * Every object identifier and every variable value lives in one heap block
 * that carries its own size, a storage kind, the BER tag of the value and the
 * value itself. The block starts with a hidden 32-bit word holding the
 * allocation's size in bytes; callers see a pointer to the header behind it.
 * The header and the value area are made of 32-bit words only, so the layout
 * and every size below are the same on 32-bit and 64-bit builds.
 *
 * Functions that may move a container return the new pointer; the caller must
 * replace its copy. Not thread-safe where static text buffers are used.
 */
#ifndef SNMP_CONTAINER_H
#define SNMP_CONTAINER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Storage kinds. */
enum {
    SNMP_KIND_UNSIGNED = 3,  /* IpAddress, Counter, Gauge, TimeTicks: one uint32 */
    SNMP_KIND_COUNTER64 = 4, /* two uint32, high half first */
    SNMP_KIND_STRING = 5,    /* OCTET STRING, Opaque: bytes */
    SNMP_KIND_INTEGER = 8,   /* INTEGER: one int32 */
    SNMP_KIND_OID = 11,      /* OBJECT IDENTIFIER: uint32 sub-identifiers */
    SNMP_KIND_NULL = 12      /* NULL and the exception values: one word of 0 */
};

/* BER tags of the values. */
enum {
    SNMP_TAG_INTEGER = 0x02,
    SNMP_TAG_OCTET_STRING = 0x04,
    SNMP_TAG_NULL = 0x05,
    SNMP_TAG_OID = 0x06,
    SNMP_TAG_SEQUENCE = 0x30,
    SNMP_TAG_IPADDRESS = 0x40,
    SNMP_TAG_COUNTER = 0x41,
    SNMP_TAG_GAUGE = 0x42,
    SNMP_TAG_TIMETICKS = 0x43,
    SNMP_TAG_OPAQUE = 0x44,
    SNMP_TAG_COUNTER64 = 0x46,
    SNMP_TAG_NOSUCHOBJECT = 0x80,
    SNMP_TAG_NOSUCHINSTANCE = 0x81,
    SNMP_TAG_ENDOFMIBVIEW = 0x82
};

/* Header of a container; the value area follows it directly. */
typedef struct snmp_container {
    uint32_t capacity; /* units the value area holds (bytes, or sub-identifiers) */
    uint32_t length;   /* units in use */
    uint8_t flag;      /* 1: an OCTET STRING that is display text */
    uint8_t tag;       /* BER tag of the value */
    uint8_t kind;      /* SNMP_KIND_... */
    uint8_t spare;
} snmp_container;

/* Bytes of the header, and of the hidden size word in front of it. */
#define SNMP_CONTAINER_HEAD 12u
#define SNMP_CONTAINER_HIDDEN 4u

/* The value area, seen as bytes, sub-identifiers or numbers. */
static inline unsigned char *snmp_container_bytes(const snmp_container *c)
{
    return (unsigned char *)c + SNMP_CONTAINER_HEAD;
}
static inline uint32_t *snmp_container_subids(const snmp_container *c)
{
    return (uint32_t *)((unsigned char *)c + SNMP_CONTAINER_HEAD);
}
static inline int32_t *snmp_container_int(const snmp_container *c)
{
    return (int32_t *)((unsigned char *)c + SNMP_CONTAINER_HEAD);
}
static inline uint32_t *snmp_container_uint(const snmp_container *c)
{
    return (uint32_t *)((unsigned char *)c + SNMP_CONTAINER_HEAD);
}

/* Allocation size in bytes (hidden word included) of a container of `kind`
 * holding `units`; 0 for kinds outside 1 to 12 or sizes beyond 32 bits. */
uint32_t snmp_get_b_len(int kind, uint32_t units);

/* Allocation size of an existing container; 0 for none. */
uint32_t snmp_container_size(const snmp_container *c);

/* Set to -4 when an allocation fails. */
extern int snmp_last_error;

/* A zeroed container with capacity and length `units`; none on failure. */
snmp_container *snmp_create_container(int kind, uint32_t units);
void snmp_free_container(snmp_container *c);

/* Re-types `c` as `kind` with length `units` and the flag, tag and first value
 * words cleared when its block is big enough; otherwise frees it and returns a
 * new zeroed one. None (the old container freed) on failure. A null `c` makes a
 * new container. */
snmp_container *snmp_reuse_container(snmp_container *c, int kind, uint32_t units);

/* Adds `extra` units to the length, moving the container into a larger block
 * when needed. None (the old one kept) on failure. */
snmp_container *snmp_expand_container(snmp_container *c, uint32_t extra);

/* Object identifier from dotted text ("1.3.6.1", ".1.3.6.1"); none when the
 * text is not a valid identifier. */
snmp_container *snmp_create_oid_container(const char *text);

/* Refills (or creates, when `c` is null) an OID container from dotted text.
 * None on invalid text (the old container kept) or failure. */
snmp_container *snmp_fill_container_with_oid(snmp_container *c, const char *text);

/* Appends `count` sub-identifiers; none when `c` is not an OID container or on
 * failure (the old container kept). */
snmp_container *snmp_expand_oid_container_by_int(snmp_container *c, uint32_t count,
                                                 const uint32_t *subids);

/* Container holding a value given in host memory: numbers as host-order
 * integers of 1, 2 or 4 bytes (IpAddress as its 4 bytes), Counter64 as two
 * uint32 high first, strings as bytes, an OID as dotted text. None for an
 * unknown tag, a length that does not fit it, or on failure. */
snmp_container *snmp_create_value_container(const void *value, uint32_t length, int tag,
                                            int flag);
snmp_container *snmp_replace_container_value(snmp_container *c, const void *value,
                                             uint32_t length, int tag, int flag);

/* Copies the source's header fields and value into `dst` (created when null,
 * re-typed and enlarged as needed); none on failure. */
snmp_container *snmp_copy_container_value(snmp_container *dst, const snmp_container *src);

/* -1, 0 or 1 comparing a with b over the first n sub-identifiers (n = 0: all);
 * -9 when either is not an OID container. */
int snmp_compare_oid_subids(const snmp_container *a, const snmp_container *b, uint32_t n);

/* 0 with the sub-identifier at `index` in *out, or -1. */
int snmp_oid_next_subid(const snmp_container *oid, uint32_t *out, uint32_t index);

/* Number of components of dotted text, 0 when invalid. With `check` the first
 * component must be 0, 1 or 2, and the second at most 39 after 0 or 1. */
uint32_t snmp_validate_and_count(const char *text, int check);

/* Dotted text of an OID container, malloc'd (caller frees); none on failure. */
char *snmp_oid_to_string(const snmp_container *oid);

/* Texts in static buffers, overwritten by the next call. */
const char *snmp_timeTicks_to_string(uint32_t ticks);

/* Transport address of a peer. */
enum { SNMP_DOMAIN_UDP = 1, SNMP_DOMAIN_TCP = 6, SNMP_DOMAIN_FD = 13 };
typedef struct snmp_net_addr {
    int32_t domain;
    unsigned char addr[4]; /* IPv4 address, network order */
    uint16_t port;         /* host order */
    int32_t fd;            /* SNMP_DOMAIN_FD */
} snmp_net_addr;

const char *snmp_net_addr_to_string(const snmp_net_addr *a);
/* 0 equal, -1 different, -2 unknown domain. */
int snmp_compare_net_addr(const snmp_net_addr *a, const snmp_net_addr *b);

/* 1 when the bytes are network-virtual-terminal text, else 0. */
int snmp_is_nvt_ascii(const unsigned char *bytes, uint32_t length);

/* malloc'd copy of the bytes with a zero byte after them (an empty input gives
 * one zero byte); none on failure. */
unsigned char *snmp_get_native_copy(const unsigned char *bytes, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
