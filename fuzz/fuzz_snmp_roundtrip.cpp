// Round trips through the codecs: whatever decodes, encodes (unless it does
// not fit the encode buffer) and decodes again into the same records. The
// first byte picks the codec: 0 SMUX, 1 whole SNMPv1 message, 2 DPI.

#include "smux_codec.h"
#include "snmp_dpi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

void put(std::string &out, uint32_t v)
{
    out += std::to_string(v);
    out += ',';
}

void put_container(std::string &out, const snmp_container *c)
{
    if (!c) {
        out += "none;";
        return;
    }
    put(out, c->tag);
    put(out, c->kind);
    switch (c->kind) {
    case SNMP_KIND_OID:
        for (uint32_t i = 0; i < c->length; ++i)
            put(out, snmp_container_subids(c)[i]);
        break;
    case SNMP_KIND_STRING:
        out.append(reinterpret_cast<const char *>(snmp_container_bytes(c)), c->length);
        break;
    case SNMP_KIND_NULL:
        break;
    default:
        put(out, *snmp_container_uint(c));
        break;
    }
    out += ';';
}

void put_bindings(std::string &out, const snmp_varbind *vb, uint32_t count)
{
    put(out, count);
    for (uint32_t i = 0; i < count; ++i) {
        put_container(out, vb[i].name);
        put_container(out, vb[i].value);
    }
}

void put_pdu(std::string &out, const snmp_pdu *p)
{
    put(out, p->type);
    put(out, static_cast<uint32_t>(p->request_id));
    put(out, static_cast<uint32_t>(p->error_status));
    put(out, static_cast<uint32_t>(p->error_index));
    put_bindings(out, p->varbinds, p->count);
}

void put_trap(std::string &out, const snmp_trap_pdu *t)
{
    put_container(out, t->enterprise);
    out.append(reinterpret_cast<const char *>(t->agent_addr), 4);
    put(out, static_cast<uint32_t>(t->generic));
    put(out, static_cast<uint32_t>(t->specific));
    put(out, t->time_stamp);
    put_bindings(out, t->varbinds, t->count);
}

std::string smux_record(const smux_pdu *p)
{
    std::string out;
    put(out, p->type);
    switch (p->type) {
    case SMUX_OPEN:
        put(out, static_cast<uint32_t>(p->version));
        put_container(out, p->object);
        out.append(reinterpret_cast<const char *>(p->description), static_cast<size_t>(p->description_len));
        out += ';';
        out.append(reinterpret_cast<const char *>(p->password), static_cast<size_t>(p->password_len));
        break;
    case SMUX_RREQ:
        put_container(out, p->object);
        put(out, static_cast<uint32_t>(p->priority));
        put(out, static_cast<uint32_t>(p->operation));
        break;
    case SNMP_TRAP:
        put_trap(out, p->trap);
        break;
    case SMUX_CLOSE:
    case SMUX_RRSP:
    case SMUX_SOUT:
        put(out, static_cast<uint32_t>(p->value));
        break;
    default:
        put_pdu(out, p->request);
        break;
    }
    return out;
}

void smux_round_trip(const uint8_t *data, uint32_t size)
{
    smux_pdu *p = nullptr;
    if (smux_decode_message(data, size, &p) != 0)
        return;
    const std::string first = smux_record(p);
    unsigned char *start;
    uint32_t len;
    const int rc = smux_encode_message(&start, &len, p);
    if (rc == SNMP_ERR_NOROOM)
        return;
    if (rc != 0)
        __builtin_trap();
    const std::vector<unsigned char> bytes(start, start + len);
    if (smux_decode_message(bytes.data(), len, &p) != 0 || smux_record(p) != first)
        __builtin_trap();
}

std::string message_record(const snmp_message &m)
{
    std::string out;
    put(out, static_cast<uint32_t>(m.version));
    out.append(reinterpret_cast<const char *>(m.community), m.community_len);
    out += ';';
    if (m.type == SNMP_TRAP)
        put_trap(out, m.trap);
    else
        put_pdu(out, m.request);
    return out;
}

void message_round_trip(const uint8_t *data, uint32_t size)
{
    unsigned char community[256];
    snmp_message m{};
    m.community = community;
    m.community_size = sizeof community;
    if (snmp_decode_message(&m, data, size) == 0 && m.version == 0) {
        const std::string first = message_record(m);
        static unsigned char buf[8192];
        unsigned char *start;
        uint32_t len;
        const int rc = snmp_encode_message(buf, sizeof buf, &start, &len, &m);
        if (rc != 0 && rc != SNMP_ERR_NOROOM)
            __builtin_trap();
        if (rc == 0) {
            const std::vector<unsigned char> bytes(start, start + len);
            if (snmp_decode_message(&m, bytes.data(), len) != 0 || message_record(m) != first)
                __builtin_trap();
        }
    }
    snmp_free_message(&m);
}

// A serialised DPI packet parses again and serialises to the same bytes.
void dpi_round_trip(const uint8_t *data, uint32_t size)
{
    dpi_packet *h = pDPIpacket_n(data, size);
    if (!h)
        return;
    const unsigned char *p = cDPIpacket(h);
    fDPIparse(h);
    if (!p)
        return; // types and groups the serialiser does not write
    const std::vector<unsigned char> first(p, p + DPI_PACKET_LEN(p));
    h = pDPIpacket_n(first.data(), static_cast<uint32_t>(first.size()));
    if (!h)
        __builtin_trap();
    p = cDPIpacket(h);
    if (!p || DPI_PACKET_LEN(p) != first.size() || std::memcmp(p, first.data(), first.size()) != 0)
        __builtin_trap();
    fDPIparse(h);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 0xFFFFFFFFu)
        return 0;
    const uint32_t n = static_cast<uint32_t>(size - 1);
    switch (data[0] % 3) {
    case 0: smux_round_trip(data + 1, n); break;
    case 1: message_round_trip(data + 1, n); break;
    default: dpi_round_trip(data + 1, n); break;
    }
    return 0;
}
