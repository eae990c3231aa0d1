#include "smux_codec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int snmp_printf_switch = 0;
int snmp_error_switch = 1;
int snmp_dump_switch = 0;

namespace {

// ---------------------------------------------------------------------------
// Decoding. Every function takes the read position and the count of bytes
// left in the input, checks the count before each read, and moves both past
// what it consumed. Lengths from the wire are compared unsigned against the
// bytes that remain, never added to a pointer first.

using Byte = unsigned char;

int asn_readlen(const Byte *&p, uint32_t &left, uint32_t &len)
{
    if (left < 1)
        return SNMP_ERR_MALFORMED;
    const Byte first = *p++;
    --left;
    if (first < 0x80) {
        len = first;
        return SNMP_OK;
    }
    const uint32_t n = first & 0x7Fu;
    // Indefinite lengths and more than four length bytes are refused: a value
    // that does not fit 32 bits cannot describe bytes we hold.
    if (n == 0 || n > 4 || left < n)
        return SNMP_ERR_MALFORMED;
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; ++i)
        v = (v << 8) | *p++;
    left -= n;
    len = v;
    return SNMP_OK;
}

// Length of a content that must fit in what is left.
int asn_decode_length(const Byte *&p, uint32_t &left, uint32_t &len)
{
    const int rc = asn_readlen(p, left, len);
    if (rc != SNMP_OK)
        return rc;
    return len <= left ? SNMP_OK : SNMP_ERR_MALFORMED;
}

int asn_decode_header(const Byte *&p, uint32_t &left, Byte &tag, uint32_t &len)
{
    if (left < 1)
        return SNMP_ERR_MALFORMED;
    if ((*p & 0x1Fu) == 0x1Fu)
        return SNMP_ERR_MALFORMED; // multi-byte tags are not used by SNMPv1
    tag = *p++;
    --left;
    return asn_decode_length(p, left, len);
}

// Header of an element that must carry `want`.
int expect_header(const Byte *&p, uint32_t &left, Byte want, uint32_t &len)
{
    Byte tag;
    const int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    return tag == want ? SNMP_OK : SNMP_ERR_MALFORMED;
}

// Content of `len` bytes as a big-endian number, low 32 bits kept; signed
// contents are sign-extended from their first byte. An empty content is 0.
uint32_t content_number(const Byte *p, uint32_t len, bool is_signed)
{
    uint32_t v = (is_signed && len > 0 && (p[0] & 0x80u)) ? 0xFFFFFFFFu : 0;
    for (uint32_t i = 0; i < len; ++i)
        v = (v << 8) | p[i];
    return v;
}

int asn_decode_int(const Byte *&p, uint32_t &left, Byte &tag, int32_t &out)
{
    uint32_t len;
    const int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    out = static_cast<int32_t>(content_number(p, len, true));
    p += len;
    left -= len;
    return SNMP_OK;
}

int asn_decode_u_int(const Byte *&p, uint32_t &left, Byte &tag, uint32_t &out)
{
    uint32_t len;
    const int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    out = content_number(p, len, false);
    p += len;
    left -= len;
    return SNMP_OK;
}

int decode_int_tagged(const Byte *&p, uint32_t &left, Byte want, int32_t &out)
{
    Byte tag;
    const int rc = asn_decode_int(p, left, tag, out);
    if (rc != SNMP_OK)
        return rc;
    return tag == want ? SNMP_OK : SNMP_ERR_MALFORMED;
}

// Copies a string of at most `cap` bytes.
int asn_decode_string(const Byte *&p, uint32_t &left, Byte &tag, Byte *buf, uint32_t cap,
                      uint32_t &len)
{
    const int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    if (len > cap)
        return SNMP_ERR_NOROOM;
    if (len)
        std::memcpy(buf, p, len);
    p += len;
    left -= len;
    return SNMP_OK;
}

int asn_decode_NULL(const Byte *&p, uint32_t &left, Byte &tag)
{
    uint32_t len;
    const int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    return len == 0 ? SNMP_OK : SNMP_ERR_MALFORMED;
}

// Sub-identifiers of an OID content of `len` bytes into `out` (room for
// len + 1); sets `count`.
int decode_oid(const Byte *p, uint32_t len, uint32_t *out, uint32_t &count)
{
    count = 0;
    uint32_t v = 0;
    bool first = true;
    for (uint32_t i = 0; i < len; ++i) {
        if (v > (0xFFFFFFFFu >> 7))
            return SNMP_ERR_MALFORMED; // does not fit 32 bits
        v = (v << 7) | (p[i] & 0x7Fu);
        if (p[i] & 0x80u) {
            if (i + 1 == len)
                return SNMP_ERR_MALFORMED; // last byte still continues
            continue;
        }
        if (first) {
            const uint32_t a = v / 40 < 2 ? v / 40 : 2;
            out[count++] = a;
            out[count++] = v - a * 40;
            first = false;
        } else {
            out[count++] = v;
        }
        v = 0;
    }
    return SNMP_OK;
}

// An OID element into the container in `slot` (reused or created).
int asn_decode_oid(const Byte *&p, uint32_t &left, Byte &tag, snmp_container *&slot)
{
    uint32_t len;
    int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    if (tag != SNMP_TAG_OID)
        return SNMP_ERR_MALFORMED;
    slot = snmp_reuse_container(slot, SNMP_KIND_OID, len + 1);
    if (!slot)
        return SNMP_ERR_NOMEM;
    uint32_t count;
    rc = decode_oid(p, len, snmp_container_subids(slot), count);
    if (rc != SNMP_OK)
        return rc;
    slot->length = count;
    slot->tag = SNMP_TAG_OID;
    p += len;
    left -= len;
    return SNMP_OK;
}

// One value element into the container in `slot`.
int decode_value(const Byte *&p, uint32_t &left, snmp_container *&slot)
{
    const Byte *q = p;
    uint32_t l = left;
    Byte tag;
    uint32_t len;
    int rc = asn_decode_header(q, l, tag, len);
    if (rc != SNMP_OK)
        return rc;
    switch (tag) {
    case SNMP_TAG_OID:
        return asn_decode_oid(p, left, tag, slot);
    case SNMP_TAG_OCTET_STRING:
    case SNMP_TAG_OPAQUE:
        slot = snmp_reuse_container(slot, SNMP_KIND_STRING, len + 1);
        if (!slot)
            return SNMP_ERR_NOMEM;
        rc = asn_decode_string(p, left, tag, snmp_container_bytes(slot), len, len);
        slot->length = len;
        break;
    case SNMP_TAG_INTEGER: {
        slot = snmp_reuse_container(slot, SNMP_KIND_INTEGER, 1);
        if (!slot)
            return SNMP_ERR_NOMEM;
        int32_t v;
        rc = asn_decode_int(p, left, tag, v);
        *snmp_container_int(slot) = v;
        break;
    }
    case SNMP_TAG_NULL:
        slot = snmp_reuse_container(slot, SNMP_KIND_NULL, 1);
        if (!slot)
            return SNMP_ERR_NOMEM;
        rc = asn_decode_NULL(p, left, tag);
        break;
    case SNMP_TAG_IPADDRESS: {
        slot = snmp_reuse_container(slot, SNMP_KIND_UNSIGNED, 1);
        if (!slot)
            return SNMP_ERR_NOMEM;
        rc = asn_decode_string(p, left, tag, snmp_container_bytes(slot), 4, len);
        break;
    }
    case SNMP_TAG_COUNTER:
    case SNMP_TAG_GAUGE:
    case SNMP_TAG_TIMETICKS: {
        slot = snmp_reuse_container(slot, SNMP_KIND_UNSIGNED, 1);
        if (!slot)
            return SNMP_ERR_NOMEM;
        uint32_t v;
        rc = asn_decode_u_int(p, left, tag, v);
        *snmp_container_uint(slot) = v;
        break;
    }
    default:
        return SNMP_ERR_MALFORMED;
    }
    slot->tag = tag;
    return rc;
}

// The binding list; `limit` is checked before each binding, so the count may
// reach limit + 1, which the record must have room for.
int decode_varBinds(const Byte *&p, uint32_t &left, snmp_varbind *vb, uint32_t limit,
                    uint32_t &count)
{
    count = 0;
    uint32_t len;
    int rc = expect_header(p, left, SNMP_TAG_SEQUENCE, len);
    if (rc != SNMP_OK)
        return rc;
    uint32_t list_left = len;
    left -= len;
    while (list_left > 0) {
        if (count > limit)
            return SNMP_ERR_TOOMANY;
        uint32_t blen;
        rc = expect_header(p, list_left, SNMP_TAG_SEQUENCE, blen);
        if (rc != SNMP_OK)
            return rc;
        list_left -= blen;
        snmp_varbind &b = vb[count];
        Byte tag;
        rc = asn_decode_oid(p, blen, tag, b.name);
        if (rc == SNMP_OK)
            rc = decode_value(p, blen, b.value);
        if (rc != SNMP_OK)
            return rc;
        if (blen != 0)
            return SNMP_ERR_MALFORMED; // more than a name and a value
        ++count;
    }
    return SNMP_OK;
}

// Request, error status, error index and bindings of a PDU content.
int decode_pdu(const Byte *&p, uint32_t &left, snmp_pdu *pdu, uint32_t limit)
{
    pdu->count = 0;
    int rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, pdu->request_id);
    if (rc == SNMP_OK)
        rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, pdu->error_status);
    if (rc == SNMP_OK)
        rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, pdu->error_index);
    if (rc != SNMP_OK || left == 0)
        return rc;
    uint32_t count = 0;
    rc = decode_varBinds(p, left, pdu->varbinds, limit, count);
    pdu->count = count;
    return rc;
}

int decode_trap_pdu(const Byte *&p, uint32_t &left, snmp_trap_pdu *trap, uint32_t limit)
{
    trap->count = 0;
    Byte tag;
    int rc = asn_decode_oid(p, left, tag, trap->enterprise);
    if (rc != SNMP_OK)
        return rc;
    uint32_t len;
    Byte addr[4] = {0, 0, 0, 0};
    rc = asn_decode_string(p, left, tag, addr, 4, len);
    if (rc != SNMP_OK)
        return rc;
    if (tag != SNMP_TAG_IPADDRESS)
        return SNMP_ERR_MALFORMED;
    std::memcpy(trap->agent_addr, addr, 4);
    rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, trap->generic);
    if (rc == SNMP_OK)
        rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, trap->specific);
    if (rc != SNMP_OK)
        return rc;
    rc = asn_decode_u_int(p, left, tag, trap->time_stamp);
    if (rc != SNMP_OK)
        return rc;
    if (tag != SNMP_TAG_TIMETICKS)
        return SNMP_ERR_MALFORMED;
    if (left == 0)
        return SNMP_OK;
    uint32_t count = 0;
    rc = decode_varBinds(p, left, trap->varbinds, limit, count);
    trap->count = count;
    return rc;
}

// A PDU element (tag already known to be a request or trap tag) that must use
// up exactly `left` bytes.
int decode_pdu_element(const Byte *&p, uint32_t &left, Byte &tag, snmp_pdu *req,
                       uint32_t req_limit, snmp_trap_pdu *trap, uint32_t trap_limit)
{
    uint32_t len;
    int rc = asn_decode_header(p, left, tag, len);
    if (rc != SNMP_OK)
        return rc;
    if (left != len)
        return SNMP_ERR_MALFORMED;
    if (tag >= SNMP_GET && tag <= SNMP_SET) {
        req->type = tag;
        rc = decode_pdu(p, len, req, req_limit);
    } else if (tag == SNMP_TRAP) {
        rc = decode_trap_pdu(p, len, trap, trap_limit);
    } else {
        return SNMP_ERR_MALFORMED;
    }
    left = 0;
    if (rc == SNMP_OK && len != 0)
        rc = SNMP_ERR_MALFORMED;
    return rc;
}

// ---------------------------------------------------------------------------
// Encoding, back to front. `pos` is the first byte written so far and `free`
// the count of bytes before it; every step checks `free` before it writes.

struct Writer {
    Byte *pos;
    uint32_t free;
};

int put_byte(Writer &w, Byte b)
{
    if (w.free < 1)
        return SNMP_ERR_NOROOM;
    *--w.pos = b;
    --w.free;
    return SNMP_OK;
}

int asn_encode_len_reverse(Writer &w, uint32_t len)
{
    if (w.free < 5)
        return SNMP_ERR_NOROOM;
    if (len < 0x80) {
        *--w.pos = static_cast<Byte>(len);
        --w.free;
        return SNMP_OK;
    }
    Byte n = 0;
    while (len) {
        *--w.pos = static_cast<Byte>(len & 0xFFu);
        len >>= 8;
        ++n;
    }
    *--w.pos = static_cast<Byte>(0x80u | n);
    w.free -= n + 1u;
    return SNMP_OK;
}

int asn_encode_header_reverse(Writer &w, Byte tag, uint32_t len)
{
    const int rc = asn_encode_len_reverse(w, len);
    return rc == SNMP_OK ? put_byte(w, tag) : rc;
}

// Bytes of two's complement needed for x (x non-negative or complemented).
uint32_t int_bytes(uint32_t x)
{
    if (x >= (1u << 23))
        return 4;
    if (x >= (1u << 15))
        return 3;
    if (x >= 128)
        return 2;
    return 1;
}

int put_number(Writer &w, Byte tag, uint32_t v, uint32_t n)
{
    if (w.free < n)
        return SNMP_ERR_NOROOM;
    for (uint32_t i = 0; i < n; ++i) {
        *--w.pos = static_cast<Byte>(v & 0xFFu);
        v = i < 3 ? v >> 8 : 0;
    }
    w.free -= n;
    return asn_encode_header_reverse(w, tag, n);
}

int asn_encode_int_reverse(Writer &w, Byte tag, int32_t v)
{
    const uint32_t u = static_cast<uint32_t>(v);
    return put_number(w, tag, u, int_bytes(v < 0 ? ~u : u));
}

int asn_encode_u_int_reverse(Writer &w, Byte tag, uint32_t v)
{
    // A set top bit needs a leading zero byte to stay positive.
    return put_number(w, tag, v, (v & 0x80000000u) ? 5 : int_bytes(v));
}

int asn_encode_string_reverse(Writer &w, Byte tag, const Byte *bytes, uint32_t len)
{
    if (w.free < 4 || w.free - 4 < len)
        return SNMP_ERR_NOROOM;
    w.pos -= len;
    if (len)
        std::memcpy(w.pos, bytes, len);
    w.free -= len;
    return asn_encode_header_reverse(w, tag, len);
}

int put_base128(Writer &w, uint64_t v)
{
    bool last = true;
    do {
        const int rc = put_byte(w, static_cast<Byte>((v & 0x7Fu) | (last ? 0 : 0x80u)));
        if (rc != SNMP_OK)
            return rc;
        v >>= 7;
        last = false;
    } while (v);
    return SNMP_OK;
}

int asn_encode_oid_reverse(Writer &w, const snmp_container *oid)
{
    if (!oid || oid->kind != SNMP_KIND_OID)
        return SNMP_ERR_ENCODE;
    const uint32_t *s = snmp_container_subids(oid);
    const uint32_t n = oid->length;
    if (n >= 1 && s[0] > 2)
        return SNMP_ERR_BADOID;
    if (n >= 2 && s[0] < 2 && s[1] > 39)
        return SNMP_ERR_BADOID;
    Byte *end = w.pos;
    if (n >= 2) {
        for (uint32_t i = n; i-- > 2;) {
            const int rc = put_base128(w, s[i]);
            if (rc != SNMP_OK)
                return rc;
        }
        const int rc = put_base128(w, uint64_t{s[0]} * 40 + s[1]);
        if (rc != SNMP_OK)
            return rc;
    }
    return asn_encode_header_reverse(w, SNMP_TAG_OID, static_cast<uint32_t>(end - w.pos));
}

int asn_encode_primitive_reverse(Writer &w, const snmp_container *c)
{
    if (!c)
        return SNMP_ERR_ENCODE;
    switch (c->tag) {
    case SNMP_TAG_INTEGER:
        if (c->kind == SNMP_KIND_INTEGER)
            return asn_encode_int_reverse(w, c->tag, *snmp_container_int(c));
        if (c->kind == SNMP_KIND_UNSIGNED)
            return asn_encode_u_int_reverse(w, c->tag, *snmp_container_uint(c));
        return SNMP_ERR_ENCODE;
    case SNMP_TAG_COUNTER:
    case SNMP_TAG_GAUGE:
    case SNMP_TAG_TIMETICKS:
        if (c->kind != SNMP_KIND_UNSIGNED && c->kind != SNMP_KIND_INTEGER)
            return SNMP_ERR_ENCODE;
        return asn_encode_u_int_reverse(w, c->tag, *snmp_container_uint(c));
    case SNMP_TAG_OCTET_STRING:
    case SNMP_TAG_OPAQUE:
        if (c->kind != SNMP_KIND_STRING || c->length > c->capacity)
            return SNMP_ERR_ENCODE;
        return asn_encode_string_reverse(w, c->tag, snmp_container_bytes(c), c->length);
    case SNMP_TAG_IPADDRESS:
        if (c->kind == SNMP_KIND_UNSIGNED || (c->kind == SNMP_KIND_STRING && c->capacity >= 4))
            return asn_encode_string_reverse(w, c->tag, snmp_container_bytes(c), 4);
        return SNMP_ERR_ENCODE;
    case SNMP_TAG_NULL:
    case SNMP_TAG_NOSUCHOBJECT:
    case SNMP_TAG_NOSUCHINSTANCE:
    case SNMP_TAG_ENDOFMIBVIEW:
        return asn_encode_header_reverse(w, c->tag, 0);
    case SNMP_TAG_OID:
        return asn_encode_oid_reverse(w, c);
    default:
        return SNMP_ERR_ENCODE;
    }
}

int encode_varBinds(Writer &w, const snmp_varbind *vb, uint32_t count, bool skip_counter64)
{
    Byte *list_end = w.pos;
    for (uint32_t i = count; i-- > 0;) {
        const snmp_varbind &b = vb[i];
        if (!b.name || !b.value)
            return SNMP_ERR_VERSION;
        if (skip_counter64 && b.value->tag == SNMP_TAG_COUNTER64)
            continue;
        if (b.name->kind != SNMP_KIND_OID)
            return SNMP_ERR_ENCODE;
        Byte *end = w.pos;
        int rc = asn_encode_primitive_reverse(w, b.value);
        if (rc == SNMP_OK)
            rc = asn_encode_oid_reverse(w, b.name);
        if (rc == SNMP_OK)
            rc = asn_encode_header_reverse(w, SNMP_TAG_SEQUENCE, static_cast<uint32_t>(end - w.pos));
        if (rc != SNMP_OK)
            return rc;
    }
    return asn_encode_header_reverse(w, SNMP_TAG_SEQUENCE, static_cast<uint32_t>(list_end - w.pos));
}

int encode_pdu(Writer &w, Byte type, const snmp_pdu *pdu)
{
    if (!pdu || pdu->count > pdu->room)
        return SNMP_ERR_ENCODE;
    Byte *end = w.pos;
    int rc = encode_varBinds(w, pdu->varbinds, pdu->count, false);
    if (rc != SNMP_OK)
        return rc;
    if (w.free <= 20)
        return SNMP_ERR_NOROOM;
    rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->error_index);
    if (rc == SNMP_OK)
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->error_status);
    if (rc == SNMP_OK)
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->request_id);
    if (rc == SNMP_OK)
        rc = asn_encode_header_reverse(w, type, static_cast<uint32_t>(end - w.pos));
    return rc;
}

int encode_trap_pdu(Writer &w, const snmp_trap_pdu *trap)
{
    if (!trap || !trap->enterprise || trap->enterprise->kind != SNMP_KIND_OID ||
        trap->count > trap->room)
        return SNMP_ERR_ENCODE;
    if (uint64_t{w.free} < uint64_t{trap->enterprise->length} * 5 + 27)
        return SNMP_ERR_NOROOM;
    Byte *end = w.pos;
    int rc = encode_varBinds(w, trap->varbinds, trap->count, true);
    if (rc == SNMP_OK)
        rc = asn_encode_u_int_reverse(w, SNMP_TAG_TIMETICKS, trap->time_stamp);
    if (rc == SNMP_OK)
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, trap->specific);
    if (rc == SNMP_OK)
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, trap->generic);
    if (rc == SNMP_OK)
        rc = asn_encode_string_reverse(w, SNMP_TAG_IPADDRESS, trap->agent_addr, 4);
    if (rc == SNMP_OK)
        rc = asn_encode_oid_reverse(w, trap->enterprise);
    if (rc == SNMP_OK)
        rc = asn_encode_header_reverse(w, SNMP_TRAP, static_cast<uint32_t>(end - w.pos));
    return rc;
}

// ---------------------------------------------------------------------------

smux_pdu decoder_record;
Byte encode_buffer[SMUX_BUFFER_SIZE];

template <class Pdu> Pdu *alloc_flat(uint32_t bindings)
{
    const size_t size = sizeof(Pdu) + size_t{bindings} * sizeof(snmp_varbind);
    auto *pdu = static_cast<Pdu *>(std::calloc(1, size));
    if (pdu)
        pdu->room = bindings;
    return pdu;
}

void free_bindings(snmp_varbind *vb, uint32_t room)
{
    for (uint32_t i = 0; i < room; ++i) {
        snmp_free_container(vb[i].name);
        snmp_free_container(vb[i].value);
    }
}

// Binding limit of a caller's record: the size formula, capped so that the
// limit-plus-one binding still fits the allocation.
uint32_t binding_limit(uint32_t size, uint32_t head, uint32_t room)
{
    uint32_t limit = size >= head ? (size - head) / 12 : 0;
    if (room == 0)
        return 0;
    if (limit > room - 1)
        limit = room - 1;
    return limit;
}

} // namespace

extern "C" {

snmp_pdu *snmp_alloc_pdu(uint32_t bindings)
{
    return alloc_flat<snmp_pdu>(bindings);
}

snmp_trap_pdu *snmp_alloc_trap_pdu(uint32_t bindings)
{
    return alloc_flat<snmp_trap_pdu>(bindings);
}

void snmp_free_pdu(snmp_pdu *pdu)
{
    if (!pdu)
        return;
    free_bindings(pdu->varbinds, pdu->room);
    std::free(pdu);
}

void snmp_free_trap_pdu(snmp_trap_pdu *pdu)
{
    if (!pdu)
        return;
    free_bindings(pdu->varbinds, pdu->room);
    snmp_free_container(pdu->enterprise);
    std::free(pdu);
}

int smux_decode_message(const unsigned char *bytes, uint32_t length, smux_pdu **out)
{
    if (!bytes || length == 0 || !out)
        return SNMP_ERR_MALFORMED;
    smux_pdu &r = decoder_record;
    const Byte *p = bytes;
    uint32_t left = length;
    Byte type;
    int rc;
    r.version = r.value = r.priority = r.operation = 0;
    r.description_len = r.password_len = 0;
    r.description[0] = r.password[0] = 0;

    if (*p & 0x20u) {
        uint32_t len;
        rc = asn_decode_header(p, left, type, len);
        if (rc != SNMP_OK)
            return rc;
        if (len != left)
            return SNMP_ERR_MALFORMED; // bytes after the message
    } else {
        type = *p;
        if ((type & 0xF0u) != 0x40u)
            return SNMP_ERR_SMUXTYPE;
    }
    r.type = type;

    switch (type) {
    case SMUX_OPEN: {
        Byte tag;
        rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, r.version);
        if (rc == SNMP_OK && r.version != 0)
            rc = SNMP_ERR_MALFORMED;
        if (rc == SNMP_OK)
            rc = asn_decode_oid(p, left, tag, r.object);
        uint32_t len = 0;
        if (rc == SNMP_OK)
            rc = asn_decode_string(p, left, tag, r.description, SMUX_STRING_MAX, len);
        if (rc == SNMP_OK && tag != SNMP_TAG_OCTET_STRING)
            rc = SNMP_ERR_MALFORMED;
        if (rc != SNMP_OK)
            return rc;
        r.description[len] = 0;
        r.description_len = static_cast<int32_t>(len);
        rc = asn_decode_string(p, left, tag, r.password, SMUX_STRING_MAX, len);
        if (rc == SNMP_OK && tag != SNMP_TAG_OCTET_STRING)
            rc = SNMP_ERR_MALFORMED;
        if (rc != SNMP_OK)
            return rc;
        r.password[len] = 0;
        r.password_len = static_cast<int32_t>(len);
        break;
    }
    case SMUX_CLOSE:
    case SMUX_RRSP:
    case SMUX_SOUT:
        rc = decode_int_tagged(p, left, type, r.value);
        if (rc != SNMP_OK)
            return rc;
        break;
    case SMUX_RREQ: {
        Byte tag;
        rc = asn_decode_oid(p, left, tag, r.object);
        if (rc == SNMP_OK)
            rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, r.priority);
        if (rc == SNMP_OK)
            rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, r.operation);
        if (rc != SNMP_OK)
            return rc;
        break;
    }
    case SNMP_GET:
    case SNMP_GETNEXT:
    case SNMP_RESPONSE:
    case SNMP_SET:
        if (!r.request && !(r.request = snmp_alloc_pdu(SMUX_REQUEST_BINDINGS)))
            return SNMP_ERR_NOMEM;
        r.request->type = type;
        rc = decode_pdu(p, left, r.request, SMUX_REQUEST_BINDINGS - 1);
        if (rc != SNMP_OK)
            return rc;
        break;
    case SNMP_TRAP:
        if (!r.trap && !(r.trap = snmp_alloc_trap_pdu(SMUX_TRAP_BINDINGS)))
            return SNMP_ERR_NOMEM;
        rc = decode_trap_pdu(p, left, r.trap, SMUX_TRAP_BINDINGS - 1);
        if (rc != SNMP_OK)
            return rc;
        break;
    default:
        return SNMP_ERR_SMUXTYPE;
    }
    if (left != 0)
        return SNMP_ERR_MALFORMED;
    *out = &r;
    return SNMP_OK;
}

int smux_encode_message(unsigned char **start, uint32_t *length, const smux_pdu *pdu)
{
    if (!start || !length || !pdu)
        return SNMP_ERR_ENCODE;
    Writer w{encode_buffer + SMUX_BUFFER_SIZE, SMUX_BUFFER_SIZE};
    Byte *end = w.pos;
    int rc;
    switch (pdu->type) {
    case SMUX_OPEN:
        if (pdu->version != 0)
            return SNMP_ERR_VERSION;
        if (pdu->password_len < 0 || pdu->password_len > int32_t{SMUX_STRING_MAX} ||
            pdu->description_len < 0 || pdu->description_len > int32_t{SMUX_STRING_MAX})
            return SNMP_ERR_NOROOM;
        rc = asn_encode_string_reverse(w, SNMP_TAG_OCTET_STRING, pdu->password,
                                       static_cast<uint32_t>(pdu->password_len));
        if (rc == SNMP_OK)
            rc = asn_encode_string_reverse(w, SNMP_TAG_OCTET_STRING, pdu->description,
                                           static_cast<uint32_t>(pdu->description_len));
        if (rc == SNMP_OK)
            rc = asn_encode_oid_reverse(w, pdu->object);
        if (rc == SNMP_OK)
            rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->version);
        if (rc == SNMP_OK)
            rc = asn_encode_header_reverse(w, SMUX_OPEN, static_cast<uint32_t>(end - w.pos));
        break;
    case SMUX_CLOSE:
    case SMUX_RRSP:
    case SMUX_SOUT:
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->value);
        if (rc == SNMP_OK)
            *w.pos = pdu->type; // the message carries its own tag
        break;
    case SMUX_RREQ:
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->operation);
        if (rc == SNMP_OK)
            rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, pdu->priority);
        if (rc == SNMP_OK)
            rc = asn_encode_oid_reverse(w, pdu->object);
        if (rc == SNMP_OK)
            rc = asn_encode_header_reverse(w, SMUX_RREQ, static_cast<uint32_t>(end - w.pos));
        break;
    case SNMP_GET:
    case SNMP_GETNEXT:
    case SNMP_RESPONSE:
    case SNMP_SET:
        rc = encode_pdu(w, pdu->type, pdu->request);
        break;
    case SNMP_TRAP:
        rc = encode_trap_pdu(w, pdu->trap);
        break;
    default:
        return SNMP_ERR_SMUXTYPE;
    }
    if (rc != SNMP_OK)
        return rc;
    *start = w.pos;
    *length = static_cast<uint32_t>(end - w.pos);
    return SNMP_OK;
}

int snmp_decode_message(snmp_message *msg, const unsigned char *bytes, uint32_t length)
{
    if (!msg || !bytes || length == 0 || bytes[0] != SNMP_TAG_SEQUENCE)
        return SNMP_ERR_MALFORMED;
    const Byte *p = bytes;
    uint32_t left = length;
    uint32_t len;
    int rc = expect_header(p, left, SNMP_TAG_SEQUENCE, len);
    if (rc != SNMP_OK)
        return rc;
    if (len != left)
        return SNMP_ERR_MALFORMED;
    rc = decode_int_tagged(p, left, SNMP_TAG_INTEGER, msg->version);
    if (rc != SNMP_OK)
        return rc;
    Byte tag;
    const uint32_t cap = msg->community && msg->community_size ? msg->community_size - 1 : 0;
    Byte none[1];
    rc = asn_decode_string(p, left, tag, cap ? msg->community : none, cap, len);
    if (rc != SNMP_OK)
        return rc;
    if (tag != SNMP_TAG_OCTET_STRING)
        return SNMP_ERR_MALFORMED;
    if (msg->community && msg->community_size)
        msg->community[len] = 0;
    msg->community_len = len;
    if (left == 0)
        return SNMP_ERR_MALFORMED;

    const Byte pdu_tag = *p;
    uint32_t req_limit = 0, trap_limit = 0;
    if (pdu_tag >= SNMP_GET && pdu_tag <= SNMP_SET) {
        if (!msg->request) {
            msg->request = snmp_alloc_pdu(SMUX_REQUEST_BINDINGS);
            if (!msg->request)
                return SNMP_ERR_NOMEM;
            msg->request_size = SNMP_PDU_BYTES(SMUX_REQUEST_BINDINGS);
        }
        req_limit = binding_limit(msg->request_size, 100, msg->request->room);
    } else if (pdu_tag == SNMP_TRAP) {
        if (!msg->trap) {
            msg->trap = snmp_alloc_trap_pdu(SMUX_TRAP_BINDINGS);
            if (!msg->trap)
                return SNMP_ERR_NOMEM;
            msg->trap_size = SNMP_TRAP_PDU_BYTES(SMUX_TRAP_BINDINGS);
        }
        trap_limit = binding_limit(msg->trap_size, 60, msg->trap->room);
    } else {
        return SNMP_ERR_MALFORMED;
    }
    msg->type = pdu_tag;
    return decode_pdu_element(p, left, tag, msg->request, req_limit, msg->trap, trap_limit);
}

int snmp_encode_message(unsigned char *buf, uint32_t size, unsigned char **start,
                        uint32_t *length, const snmp_message *msg)
{
    if (!msg || !buf || !start || !length)
        return SNMP_ERR_ENCODE;
    if (msg->version != 0 || msg->type < SNMP_GET || msg->type > SNMP_TRAP)
        return SNMP_ERR_ENCODE;
    if (size <= 8)
        return SNMP_ERR_NOROOM;
    Writer w{buf + size, size - 8};
    Byte *end = w.pos;
    int rc = msg->type == SNMP_TRAP ? encode_trap_pdu(w, msg->trap)
                                    : encode_pdu(w, msg->type, msg->request);
    if (rc == SNMP_OK) {
        if (msg->community_len && !msg->community)
            return SNMP_ERR_ENCODE;
        rc = asn_encode_string_reverse(w, SNMP_TAG_OCTET_STRING, msg->community,
                                       msg->community_len);
    }
    if (rc == SNMP_OK)
        rc = asn_encode_int_reverse(w, SNMP_TAG_INTEGER, msg->version);
    if (rc == SNMP_OK)
        rc = asn_encode_header_reverse(w, SNMP_TAG_SEQUENCE, static_cast<uint32_t>(end - w.pos));
    if (rc != SNMP_OK)
        return rc;
    *start = w.pos;
    *length = static_cast<uint32_t>(end - w.pos);
    return SNMP_OK;
}

void snmp_free_message(snmp_message *msg)
{
    if (!msg)
        return;
    snmp_free_pdu(msg->request);
    snmp_free_trap_pdu(msg->trap);
    msg->request = nullptr;
    msg->trap = nullptr;
}

void snmp_print_version(void)
{
    std::printf("MIBCORE, 2.0.00, Mar 16 1998, Compiled %s %s\n", __DATE__, __TIME__);
}

void snmp_debug_init(void)
{
    auto read_switch = [](const char *name, int fallback) {
        const char *v = std::getenv(name);
        return v ? static_cast<int>(std::strtol(v, nullptr, 10)) : fallback;
    };
    snmp_printf_switch = read_switch("SNMP_PRINTF", 0);
    snmp_error_switch = read_switch("SNMP_ERROR", 1);
    snmp_dump_switch = read_switch("SNMP_DUMP", 0);
    if (snmp_printf_switch || snmp_dump_switch || snmp_error_switch >= 2)
        snmp_print_version();
}

} // extern "C"
