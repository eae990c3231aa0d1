/*
 * A plug-in that sends the request body back as the response, in the
 * pieces HTTPD_read gives it.
 */
#include "plugrt.h"

#include <string.h>

PLUGRT_EXPORT long echo_step(void *handle);

/* HTTPD_END_OF_BODY when the whole body went out, else the code that stopped it. */
long echo_step(void *handle)
{
    static const char type[] = "text/plain";
    char buffer[4096];
    unsigned long n = 12;
    unsigned long v = sizeof type - 1;
    long rc = -99;
    HTSET(handle, "CONTENT_TYPE", &n, type, &v, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    for (;;) {
        unsigned long length = sizeof buffer;
        long wrc = -99;
        HTREAD(handle, buffer, &length, &rc);
        if (rc != HTTPD_SUCCESS && rc != HTTPD_END_OF_BODY)
            return rc;
        if (length > 0) {
            HTWRITE(handle, buffer, &length, &wrc);
            if (wrc != HTTPD_SUCCESS)
                return wrc;
        }
        if (rc == HTTPD_END_OF_BODY)
            return rc;
    }
}
