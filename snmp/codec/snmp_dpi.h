/*
 * snmp_dpi: SNMP DPI packets (version 2.0, RFC 1592, and the older 1.x
 * layouts).
 *
 * Four layers: the parser (pDPIpacket) turns wire bytes into a tree of small
 * records; the constructors (mkDPI...) build trees or whole packets; the
 * serialiser (cDPIpacket) writes a tree into one static packet buffer; the
 * release functions (fDPI...) free trees. Only the parser and the serialiser
 * see wire order: every number in a record, including the 32-bit and Counter64
 * values of bindings, is a host-order integer.
 *
 * A serialised packet is its 2-byte big-endian length (counting the bytes
 * after it) followed by the packet; it lives in the static buffer until the
 * next serialisation. Not reentrant.
 */
#ifndef SNMP_DPI_H
#define SNMP_DPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Packet types. */
enum {
    DPI_PACKET_GET = 1,
    DPI_PACKET_GETNEXT = 2,
    DPI_PACKET_SET = 3,
    DPI_PACKET_TRAP = 4,
    DPI_PACKET_RESPONSE = 5,
    DPI_PACKET_REGISTER = 6,
    DPI_PACKET_UNREGISTER = 7,
    DPI_PACKET_OPEN = 8,
    DPI_PACKET_CLOSE = 9,
    DPI_PACKET_COMMIT = 10,
    DPI_PACKET_UNDO = 11,
    DPI_PACKET_GETBULK = 12,
    DPI_PACKET_TRAPV2 = 13,
    DPI_PACKET_INFORM = 14,
    DPI_PACKET_ARE_YOU_THERE = 15
};

/* Value types of bindings. Types with bit 128 set are 32-bit numbers. */
enum {
    DPI_TYPE_OCTET_STRING = 2,
    DPI_TYPE_OBJECT_ID = 3,
    DPI_TYPE_NULL = 4,
    DPI_TYPE_IPADDRESS_OLD = 5,
    DPI_TYPE_DISPLAY_STRING = 9,
    DPI_TYPE_BIT_STRING = 10,
    DPI_TYPE_NSAP_ADDRESS = 11,
    DPI_TYPE_COUNTER64 = 13,
    DPI_TYPE_OPAQUE = 14,
    DPI_TYPE_NO_SUCH_OBJECT = 15,
    DPI_TYPE_NO_SUCH_INSTANCE = 16,
    DPI_TYPE_END_OF_MIB_VIEW = 17,
    DPI_TYPE_INTEGER32 = 129,
    DPI_TYPE_IPADDRESS = 133,
    DPI_TYPE_COUNTER32 = 134,
    DPI_TYPE_GAUGE32 = 135,
    DPI_TYPE_TIMETICKS = 136,
    DPI_TYPE_UINTEGER32 = 140
};

#define DPI_PROTOCOL_MAJOR 2
#define DPI_BUFFER_SIZE 4096u
#define DPI_PACKET_MAX 4095u /* length prefix included */

/* Whole length (prefix included) of a serialised packet. */
#define DPI_PACKET_LEN(p) \
    ((((uint32_t)((const unsigned char *)(p))[0] << 8) | ((const unsigned char *)(p))[1]) + 2u)

/* GET and GETNEXT entry. */
typedef struct dpi_get_item {
    struct dpi_get_item *next;
    char *object_id; /* group and instance joined, without a trailing "." */
    char *group;     /* registered subtree, ending in "." */
    char *instance;  /* the rest, "" when empty */
} dpi_get_item;

/* Variable binding (SET, COMMIT, UNDO, TRAP and RESPONSE). The value of a
 * 32-bit type is one host-order uint32_t, a Counter64 two (high first), an
 * IpAddress (133) its 4 bytes; other types are bytes as on the wire. */
typedef struct dpi_binding {
    struct dpi_binding *next;
    char *object_id;
    char *group;
    char *instance;
    uint8_t value_type;
    uint16_t value_len;
    unsigned char *value; /* malloc'd, null when value_len is 0 */
} dpi_binding;

typedef struct dpi_trap_body {
    int32_t generic;
    int32_t specific;
    dpi_binding *bindings;
    char *enterprise; /* null when none */
} dpi_trap_body;

typedef struct dpi_response_body {
    uint8_t error_code;
    int32_t error_index;
    dpi_binding *bindings;
} dpi_response_body;

typedef struct dpi_register_item {
    struct dpi_register_item *next;
    uint16_t timeout;
    int32_t priority;
    char *subtree;
    uint8_t view_selection;
    uint8_t bulk_selection;
} dpi_register_item;

typedef struct dpi_unregister_item {
    struct dpi_unregister_item *next;
    uint8_t reason;
    char *subtree;
} dpi_unregister_item;

typedef struct dpi_open_body {
    char *identity;
    char *description;
    uint16_t timeout;
    uint16_t max_bindings;
    uint8_t charset;
    uint16_t password_len;
    unsigned char *password; /* null when password_len is 0 */
} dpi_open_body;

typedef struct dpi_close_body {
    uint8_t reason;
} dpi_close_body;

/* Packet header record with its body. */
typedef struct dpi_packet {
    uint8_t proto_major;
    uint8_t version;
    uint8_t release;
    uint16_t packet_id; /* version 2 only */
    uint8_t type;
    union {
        dpi_get_item *get;       /* GET, GETNEXT */
        dpi_binding *set;        /* SET, COMMIT, UNDO */
        dpi_trap_body *trap;
        dpi_response_body *resp;
        dpi_register_item *reg;
        dpi_unregister_item *ureg;
        dpi_open_body *open;
        dpi_close_body *close;
        void *any;
    } data;
    uint16_t community_len;
    unsigned char *community; /* null when community_len is 0 */
} dpi_packet;

/* Parses a packet that starts with its 2-byte length; trusts that length to
 * say how many bytes follow (the caller read exactly that many). None on any
 * invalid input. */
dpi_packet *pDPIpacket(const unsigned char *packet);

/* As pDPIpacket, for a buffer of `size` bytes that must hold exactly one
 * packet: refused when the prefix does not match the size. */
dpi_packet *pDPIpacket_n(const unsigned char *packet, uint32_t size);

/* Release functions; each takes none too. */
void fDPIparse(dpi_packet *hdr);
void fDPIget_packet(dpi_get_item *list);
void fDPIset_packet(dpi_binding *list);
void fDPItrap_packet(dpi_trap_body *trap);
void fDPIresp_packet(dpi_response_body *resp);
void fDPIreg_packet(dpi_register_item *list);
void fDPIureg_packet(dpi_unregister_item *list);
void fDPIopen_packet(dpi_open_body *open);
void fDPIclose_packet(dpi_close_body *close);

/* A header record: version 1 with release 0 or 1, or version 2 with release
 * 0 (which takes the next packet id). None for other pairs. */
dpi_packet *mkDPIhdr_version(int type, int version, int release);

/* Serialises `hdr` and frees it (always). */
unsigned char *mkDPIpacket(dpi_packet *hdr);

/* RESPONSE to `request` (version, release and packet id copied). Takes over
 * `bindings` (freed in every case). */
unsigned char *mkDPIresp(const dpi_packet *request, int error_code, int32_t error_index,
                         dpi_binding *bindings);

unsigned char *mkDPIopen(const char *identity, const char *description, uint32_t timeout,
                         uint32_t max_bindings, int charset, uint32_t password_len,
                         const unsigned char *password);
unsigned char *mkDPIclose(int reason);
unsigned char *mkDPIayt(void);
unsigned char *mkDPIreg(uint32_t timeout, int32_t priority, const char *subtree, int bulk,
                        int view);
unsigned char *mkDPIureg(int reason, const char *subtree);
/* Takes over `bindings`. */
unsigned char *mkDPItrape(int32_t generic, int32_t specific, dpi_binding *bindings,
                          const char *enterprise);

/* Append one entry to `list` (none starts a list) and return the list; none
 * (the list left unchanged) on invalid arguments or lack of memory. */
dpi_get_item *mkDPIget_packet(dpi_get_item *list, const char *group, const char *instance);
dpi_get_item *mkDPInext_packet(dpi_get_item *list, const char *group, const char *instance);
dpi_binding *mkDPIset_packet(dpi_binding *list, const char *group, const char *instance,
                             int value_type, uint32_t value_len, const void *value);

/* Serialises `hdr` into the static packet buffer; none when it does not fit
 * 4095 bytes or a part cannot be written. */
unsigned char *cDPIpacket(const dpi_packet *hdr);

/* Bindings written by the last serialised binding list. */
extern uint32_t varBind_count;

/* Validity of object-id texts: 1 when invalid. */
int oid_is_invalid(const char *oid);
int group_or_instance_invalid(const char *group, const char *instance);

void DPIdebug(int level);
/* printf-style report on standard output, cut at 1023 bytes. */
void dpilog(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif
