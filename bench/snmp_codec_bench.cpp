// Speed of the smuxbridge codecs on the daemon's hot path: a GetResponse of
// 10 bindings decoded and encoded again, and a DPI RESPONSE parsed and
// serialised.

#include "smux_codec.h"
#include "snmp_dpi.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

// A GetResponse as an agent sends it: system group, interface counters and
// the relay's port object.
std::vector<unsigned char> typical_response()
{
    smux_pdu pdu{};
    pdu.type = SNMP_RESPONSE;
    pdu.request = snmp_alloc_pdu(10);
    snmp_pdu *r = pdu.request;
    r->type = SNMP_RESPONSE;
    r->request_id = 0x12345678;
    auto add = [&](const char *oid, const void *v, uint32_t len, int tag) {
        snmp_varbind &b = r->varbinds[r->count++];
        b.name = snmp_create_oid_container(oid);
        b.value = snmp_create_value_container(v, len, tag, 0);
    };
    const char descr[] = "Linux router 6.1.0-13-powerpc #1 SMP Debian 6.1.55-1";
    const uint32_t ticks = 123456789, c1 = 4000000000u, c2 = 17, gauge = 100000000;
    const int32_t one = 1, port = 49153;
    const unsigned char ip[4] = {192, 168, 1, 1};
    add("1.3.6.1.2.1.1.1.0", descr, sizeof descr - 1, SNMP_TAG_OCTET_STRING);
    add("1.3.6.1.2.1.1.2.0", "1.3.6.1.4.1.59981.2", 0, SNMP_TAG_OID);
    add("1.3.6.1.2.1.1.3.0", &ticks, 4, SNMP_TAG_TIMETICKS);
    add("1.3.6.1.2.1.1.5.0", "router", 6, SNMP_TAG_OCTET_STRING);
    add("1.3.6.1.2.1.2.2.1.7.1", &one, 4, SNMP_TAG_INTEGER);
    add("1.3.6.1.2.1.2.2.1.5.1", &gauge, 4, SNMP_TAG_GAUGE);
    add("1.3.6.1.2.1.2.2.1.10.1", &c1, 4, SNMP_TAG_COUNTER);
    add("1.3.6.1.2.1.2.2.1.16.1", &c2, 4, SNMP_TAG_COUNTER);
    add("1.3.6.1.2.1.4.20.1.1.192.168.1.1", ip, 4, SNMP_TAG_IPADDRESS);
    add("1.3.6.1.4.1.59981.2.1.1.1.0", &port, 4, SNMP_TAG_INTEGER);
    unsigned char *start = nullptr;
    uint32_t len = 0;
    smux_encode_message(&start, &len, &pdu);
    std::vector<unsigned char> bytes(start, start + len);
    snmp_free_pdu(pdu.request);
    return bytes;
}

void BM_SmuxDecodeEncodeGetResponse10(benchmark::State &state)
{
    const std::vector<unsigned char> msg = typical_response();
    for (auto _ : state) {
        smux_pdu *pdu = nullptr;
        if (smux_decode_message(msg.data(), static_cast<uint32_t>(msg.size()), &pdu) != 0)
            state.SkipWithError("decode failed");
        unsigned char *start;
        uint32_t len;
        if (smux_encode_message(&start, &len, pdu) != 0 || len != msg.size())
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(start);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(msg.size()));
}
BENCHMARK(BM_SmuxDecodeEncodeGetResponse10);

void BM_SmuxDecodeGetResponse10(benchmark::State &state)
{
    const std::vector<unsigned char> msg = typical_response();
    for (auto _ : state) {
        smux_pdu *pdu = nullptr;
        smux_decode_message(msg.data(), static_cast<uint32_t>(msg.size()), &pdu);
        benchmark::DoNotOptimize(pdu);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SmuxDecodeGetResponse10);

void BM_DpiParseSerialiseResponse(benchmark::State &state)
{
    const int32_t v = 42;
    dpi_packet *req = mkDPIhdr_version(DPI_PACKET_GET, 2, 0);
    dpi_binding *b = mkDPIset_packet(nullptr, "1.3.6.1.4.1.59981.2.", "1.0", DPI_TYPE_INTEGER32, 4, &v);
    const unsigned char *p = mkDPIresp(req, 0, 0, b);
    const std::vector<unsigned char> packet(p, p + DPI_PACKET_LEN(p));
    fDPIparse(req);
    for (auto _ : state) {
        dpi_packet *h = pDPIpacket_n(packet.data(), static_cast<uint32_t>(packet.size()));
        benchmark::DoNotOptimize(cDPIpacket(h));
        fDPIparse(h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DpiParseSerialiseResponse);

} // namespace
