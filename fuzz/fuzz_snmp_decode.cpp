// Fuzzes the decoder of whole SNMPv1 messages, with a small caller record and
// community field so that their limits are reached too.

#include "smux_codec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    unsigned char community[16];
    snmp_message msg{};
    msg.community = community;
    msg.community_size = sizeof community;
    msg.request = snmp_alloc_pdu(8);
    msg.request_size = SNMP_PDU_BYTES(8);
    if (snmp_decode_message(&msg, data, static_cast<uint32_t>(size)) == 0) {
        static unsigned char buf[4096];
        unsigned char *start;
        uint32_t len;
        snmp_encode_message(buf, sizeof buf, &start, &len, &msg);
    }
    snmp_free_message(&msg);
    return 0;
}
