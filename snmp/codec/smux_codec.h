/*
 * smux_codec: SMUX messages (RFC 1227) and the SNMPv1 PDUs they carry
 * (RFC 1157), in the subset of BER that SNMPv1 needs.
 *
 * The decoder fills static records and reuses their containers from message
 * to message; a decoded message is valid until the next decode. The encoder
 * writes back to front into one static 4096-byte buffer, so every length is
 * known before its header is written; the encoded message is valid until the
 * next encode. Numbers are assembled and split one byte at a time, so the
 * bytes are the same on every host. Not reentrant.
 */
#ifndef SMUX_CODEC_H
#define SMUX_CODEC_H

#include "snmp_container.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of every entry point below. */
enum {
    SNMP_OK = 0,
    SNMP_ERR_VERSION = -1,   /* OpenPDU version not 0; binding without name or value */
    SNMP_ERR_NOMEM = -4,     /* allocation failed */
    SNMP_ERR_NOROOM = -5,    /* encode buffer full; decoded string longer than its field */
    SNMP_ERR_TOOMANY = -6,   /* more bindings than the record holds */
    SNMP_ERR_BADOID = -9,    /* identifier not encodable (first above 2, second above 39) */
    SNMP_ERR_MALFORMED = -12, /* bad tag, length, truncated content, wrong type */
    SNMP_ERR_ENCODE = -13,   /* value not encodable */
    SNMP_ERR_SMUXTYPE = -21  /* unknown SMUX message type */
};

/* SMUX message types (their BER tags). */
enum {
    SMUX_OPEN = 0x60,
    SMUX_CLOSE = 0x41,
    SMUX_RREQ = 0x62,
    SMUX_RRSP = 0x43,
    SMUX_SOUT = 0x44,
    SNMP_GET = 0xA0,
    SNMP_GETNEXT = 0xA1,
    SNMP_RESPONSE = 0xA2,
    SNMP_SET = 0xA3,
    SNMP_TRAP = 0xA4
};

#define SMUX_BUFFER_SIZE 4096u
#define SMUX_STRING_MAX 255u
#define SMUX_REQUEST_BINDINGS 4097u /* room in the decoder's request record */
#define SMUX_TRAP_BINDINGS 257u     /* room in the decoder's trap record */

typedef struct snmp_varbind {
    uint32_t reserved;
    snmp_container *name;  /* OID container */
    snmp_container *value; /* value container */
} snmp_varbind;

/* Flat records: a fixed head followed by the binding array. `room` is the
 * number of bindings the allocation holds. */
typedef struct snmp_pdu {
    int32_t request_id;
    int32_t error_index;
    int32_t error_status;
    uint8_t type;
    uint32_t count;
    uint32_t room;
    snmp_varbind varbinds[];
} snmp_pdu;

typedef struct snmp_trap_pdu {
    snmp_container *enterprise;
    unsigned char agent_addr[4];
    int32_t generic;
    int32_t specific;
    uint32_t time_stamp;
    uint32_t count;
    uint32_t room;
    snmp_varbind varbinds[];
} snmp_trap_pdu;

/* Record sizes on the production layout (32-bit words and pointers), which
 * the binding limits of snmp_decode_message are derived from. */
#define SNMP_PDU_BYTES(n) (20u + 12u * (uint32_t)(n))
#define SNMP_TRAP_PDU_BYTES(n) (36u + 12u * (uint32_t)(n))

typedef struct smux_pdu {
    int32_t version;     /* OpenPDU: must be 0 */
    uint8_t type;        /* the message's tag */
    int32_t value;       /* ClosePDU reason, RRspPDU result, SOutPDU commit/rollback */
    int32_t priority;    /* RReqPDU: -1 lets the agent choose */
    int32_t operation;   /* RReqPDU: 0 delete, 1 readOnly, 2 readWrite */
    unsigned char description[256]; /* OpenPDU; zero-terminated after decoding */
    int32_t description_len;
    unsigned char password[256];
    int32_t password_len;
    snmp_container *object; /* OpenPDU identity, RReqPDU subtree */
    snmp_pdu *request;      /* Get, GetNext, GetResponse, Set */
    snmp_trap_pdu *trap;    /* Trap */
} smux_pdu;

/* A whole SNMPv1 message. The record sizes are in SNMP_PDU_BYTES and
 * SNMP_TRAP_PDU_BYTES units; snmp_decode_message allocates missing records
 * with room for SMUX_REQUEST_BINDINGS and SMUX_TRAP_BINDINGS bindings. */
typedef struct snmp_message {
    int32_t version;
    unsigned char *community;  /* the caller's field */
    uint32_t community_size;   /* its capacity in bytes, terminator included */
    uint32_t community_len;
    uint8_t type;              /* PDU tag */
    snmp_pdu *request;
    uint32_t request_size;
    snmp_trap_pdu *trap;
    uint32_t trap_size;
} snmp_message;

/* Zeroed records with room for `bindings` bindings; none on failure. */
snmp_pdu *snmp_alloc_pdu(uint32_t bindings);
snmp_trap_pdu *snmp_alloc_trap_pdu(uint32_t bindings);
/* Free the record and every container in it (all `room` slots). */
void snmp_free_pdu(snmp_pdu *pdu);
void snmp_free_trap_pdu(snmp_trap_pdu *pdu);

/* Decodes one whole SMUX message of exactly `length` bytes. On 0, *out points
 * to the decoder's record; on failure *out is not written. */
int smux_decode_message(const unsigned char *bytes, uint32_t length, smux_pdu **out);

/* Encodes `pdu` into the encode buffer; on 0, *start and *length give the
 * message. Nothing is written to them on failure. */
int smux_encode_message(unsigned char **start, uint32_t *length, const smux_pdu *pdu);

/* Decodes one whole SNMPv1 message of exactly `length` bytes into `msg`. */
int snmp_decode_message(snmp_message *msg, const unsigned char *bytes, uint32_t length);

/* Encodes `msg` back to front into buf[0..size); 8 bytes at the buffer's start
 * stay unused. On 0, *start and *length give the message. */
int snmp_encode_message(unsigned char *buf, uint32_t size, unsigned char **start,
                        uint32_t *length, const snmp_message *msg);

/* Frees the records snmp_decode_message allocated in `msg`. */
void snmp_free_message(snmp_message *msg);

/* Debug switches, read from SNMP_PRINTF, SNMP_ERROR and SNMP_DUMP. */
extern int snmp_printf_switch;
extern int snmp_error_switch;
extern int snmp_dump_switch;
void snmp_debug_init(void);
void snmp_print_version(void);

#ifdef __cplusplus
}
#endif

#endif
