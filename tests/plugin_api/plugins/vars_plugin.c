/*
 * A plug-in that reads and sets variables, as a service step would. Built
 * with -std=c99 -pedantic against plugrt.h alone.
 */
#include "plugrt.h"

#include <string.h>

PLUGRT_EXPORT int vars_step(void *handle);
PLUGRT_EXPORT const void *config_address(void);
PLUGRT_EXPORT const void *qos_key_address(void);

static long extract(void *handle, const char *name, char *buffer, unsigned long room)
{
    unsigned long n = (unsigned long)strlen(name);
    long rc = -99;
    HTXTRACT(handle, name, &n, buffer, &room, &rc);
    return rc;
}

static long set(void *handle, const char *name, const char *value)
{
    unsigned long n = (unsigned long)strlen(name);
    unsigned long v = (unsigned long)strlen(value);
    long rc = -99;
    HTSET(handle, name, &n, value, &v, &rc);
    return rc;
}

/* 0 when every step gave what it should, else the number of the first that did not. */
int vars_step(void *handle)
{
    char buffer[256];
    unsigned long mode = 2;
    unsigned long selector = 0;
    const char *q;

    if (extract(handle, "SERVER_NAME", buffer, sizeof buffer) != HTTPD_SUCCESS)
        return 1;
    if (set(handle, "plugin_saw", buffer) != HTTPD_SUCCESS)
        return 2;
    if (set(handle, "Color", "blue") != HTTPD_SUCCESS)
        return 3;
    if (extract(handle, "Color", buffer, sizeof buffer) != HTTPD_SUCCESS || strcmp(buffer, "blue") != 0)
        return 4;
    if (extract(handle, "color", buffer, sizeof buffer) != HTTPD_BAD_ARGUMENT)
        return 5;
    if (set(handle, "content-type", "text/plain") != HTTPD_SUCCESS)
        return 6;
    if (set(handle, "SERVER_NAME", "elsewhere") != HTTPD_READ_ONLY)
        return 7;
    if (htsetvar(handle, "QUERY_STRING", "a=1", &mode) != HTTPD_SUCCESS)
        return 8;
    q = htgetvar(handle, "query-string", &selector);
    if (q == NULL || strcmp(q, "a=1") != 0)
        return 9;
    if (extract(handle, "GATEWAY_INTERFACE", buffer, 5) != HTTPD_BUFFER_TOO_SMALL)
        return 10;
    return 0;
}

const void *config_address(void)
{
    return HTMyStaticConfig;
}

const void *qos_key_address(void)
{
    return &tqos_key;
}
