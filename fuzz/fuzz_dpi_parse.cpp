// Fuzzes the DPI parser: the input is one packet with its length prefix, as
// read from a subagent connection.

#include "snmp_dpi.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    dpi_packet *h = pDPIpacket_n(data, static_cast<uint32_t>(size));
    if (h) {
        cDPIpacket(h);
        // The trusting entry point reads the same bytes when the prefix fits.
        dpi_packet *again = pDPIpacket(data);
        if (!again)
            __builtin_trap();
        fDPIparse(again);
        fDPIparse(h);
    }
    return 0;
}
