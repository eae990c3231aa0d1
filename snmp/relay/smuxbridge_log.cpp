#include "smuxbridge_log.h"

#include "smux_codec.h"

#include <cstring>

int tracing = 0;

const char *smuxbridge_srcname(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void log_bfr(const unsigned char *buf, uint32_t len, const char *label)
{
    static int count = 0;
    if (!(tracing & TRACE_INTERNAL3))
        return;
    if (count == 0) {
        printf("# ");
        snmp_print_version();
    }
    printf("# Dump of %d byte %s packet, count %d\n", static_cast<int>(len), label, ++count);
    for (uint32_t i = 0; i < len; ++i)
        printf("%2.2x%c", buf[i], (i + 1) % 16 == 0 ? '\n' : ' ');
    printf("\n");
    fflush(stdout);
}
