/*
 * A plug-in written for servers whose handle was not passed: every call
 * gives a null handle, and the library finds the thread's request.
 */
#include "plugrt.h"

#include <string.h>

PLUGRT_EXPORT long null_handle_step(void);

/* Copies REMOTE_ADDR into the user variable "seen_addr"; returns the last code. */
long null_handle_step(void)
{
    char buffer[64];
    unsigned long n = 11;
    unsigned long room = sizeof buffer;
    unsigned long name = 9;
    long rc = -99;
    HTXTRACT(NULL, "REMOTE_ADDR", &n, buffer, &room, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    HTSET(NULL, "seen_addr", &name, buffer, &room, &rc);
    return rc;
}
