/*
 * count_filter: a data filter for the host's tests. Every block passes on
 * unchanged; at the close it adds one line with the blocks and bytes it
 * saw, so that a test can tell that none went past it.
 *
 *     FilterPlugin PATTERN count_filter.so count_open count_write count_close
 *
 * The counts live in the request's user variables (the functions get no
 * context of their own): HTTPD_set keeps them, HTTPD_extract reads them.
 */
#include "plugrt.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

PLUGRT_EXPORT void count_open(void *handle, long *return_code);
PLUGRT_EXPORT void count_write(void *handle, const char *data, unsigned long *length, long *return_code);
PLUGRT_EXPORT void count_close(void *handle, long *return_code);

static unsigned long get(void *handle, const char *name)
{
    char value[32];
    unsigned long n = strlen(name), room = sizeof value;
    long rc = HTTPD_FAILURE;
    HTXTRACT(handle, name, &n, value, &room, &rc);
    return rc == HTTPD_SUCCESS ? strtoul(value, NULL, 10) : 0;
}

static void set(void *handle, const char *name, unsigned long v)
{
    char value[32];
    unsigned long n = strlen(name), length;
    long rc = HTTPD_FAILURE;
    length = (unsigned long)snprintf(value, sizeof value, "%lu", v);
    HTSET(handle, name, &n, value, &length, &rc);
}

void count_open(void *handle, long *return_code)
{
    set(handle, "count_blocks", 0);
    set(handle, "count_bytes", 0);
    *return_code = 200;
}

void count_write(void *handle, const char *data, unsigned long *length, long *return_code)
{
    unsigned long n = *length;
    set(handle, "count_blocks", get(handle, "count_blocks") + 1);
    set(handle, "count_bytes", get(handle, "count_bytes") + n);
    HTWRITE(handle, data, &n, return_code);
}

void count_close(void *handle, long *return_code)
{
    char line[80];
    unsigned long n = (unsigned long)snprintf(line, sizeof line, "[filter: %lu blocks, %lu bytes]\n",
                                              get(handle, "count_blocks"), get(handle, "count_bytes"));
    HTWRITE(handle, line, &n, return_code);
}
