/*
 * A plug-in that makes one of the logging, proxying, file, script, label
 * and authentication calls on its request, as the test asks.
 */
#include "plugrt.h"

#include <string.h>

PLUGRT_EXPORT long calls_step(int which, void *handle, const char *a, const char *b);

/* which: 0 error log, 1 trace log, 2 access log, 3 event log, 4 proxy (a URL, b body or null),
 * 5 file, 6 exec, 7 label, 8 authenticate, 9 restart, 10 write a, 11 noauth proxy. */
long calls_step(int which, void *handle, const char *a, const char *b)
{
    unsigned long n = a ? strlen(a) : 0;
    unsigned long m = b ? strlen(b) : 0;
    long rc = -99;
    switch (which) {
    case 0:
        HTLOGE(handle, a, &n, &rc);
        break;
    case 1:
        HTLOGT(handle, a, &n, &rc);
        break;
    case 2:
        HTLOGA(handle, a, &n, &rc);
        break;
    case 3:
        HTLOGV(handle, a, &n, &rc);
        break;
    case 4:
        HTPROXY(handle, a, &n, b, b ? &m : NULL, &rc);
        break;
    case 5:
        HTFILE(handle, a, &n, &rc);
        break;
    case 6:
        HTEXEC(handle, a, &n, &rc);
        break;
    case 7:
        HTSUPLBL(handle, a, &n, &rc);
        break;
    case 8:
        HTAUTHEN(handle, &rc);
        break;
    case 9:
        HTREST(&rc);
        break;
    case 10:
        HTWRITE(handle, a, &n, &rc);
        break;
    case 11:
        HTNOAUPXY(handle, a, &n, b, b ? &m : NULL, &rc);
        break;
    default:
        break;
    }
    return rc;
}
