// Fuzzes the SMUX decoder: one whole message per input, as the daemon reads
// them from the agent.

#include "smux_codec.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    smux_pdu *pdu = nullptr;
    if (smux_decode_message(data, static_cast<uint32_t>(size), &pdu) == 0 && pdu) {
        // Whatever decodes must be safe to encode (the encoder may refuse it).
        unsigned char *start;
        uint32_t len;
        smux_encode_message(&start, &len, pdu);
    }
    return 0;
}
