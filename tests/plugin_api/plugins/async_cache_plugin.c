/*
 * A plug-in that fetches URLs through asynchronous requests and keeps a
 * value in the proxy's cache.
 */
#include "plugrt.h"

#include <string.h>

/* The server's request description. */
struct description {
    const char *url;
    int hold;
    int status;
    unsigned long length;
};

PLUGRT_EXPORT long fetch_all(void *handle, struct description *d, int n, int *started);
PLUGRT_EXPORT long async_call(int which, void *handle, void *a, void *b);
PLUGRT_EXPORT long cache_round(const char *key, const char *headers, const char *data, char *out,
                               unsigned long *out_length, int *found);

/* Starts every request, waits for all, deletes the handle; the first failing code or 0. */
long fetch_all(void *handle, struct description *d, int n, int *started)
{
    void *async = NULL;
    long rc = -99, result = HTTPD_SUCCESS;
    int i;
    *started = 0;
    HTCREATASYN(handle, &async, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    for (i = 0; i < n; ++i) {
        HTSTARTHTTPR(handle, &d[i], async, &rc);
        if (rc == HTTPD_SUCCESS)
            ++*started;
        else
            result = rc;
    }
    HTWAITASYN(handle, async, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    HTDELASYN(handle, async, &rc);
    return rc != HTTPD_SUCCESS ? rc : result;
}

/* One call: 0 create (a: void **), 1 start (a: description, b: handle), 2 wait, 3 delete. */
long async_call(int which, void *handle, void *a, void *b)
{
    long rc = -99;
    switch (which) {
    case 0:
        HTCREATASYN(handle, (void **)a, &rc);
        break;
    case 1:
        HTSTARTHTTPR(handle, a, b, &rc);
        break;
    case 2:
        HTWAITASYN(handle, a, &rc);
        break;
    case 3:
        HTDELASYN(handle, a, &rc);
        break;
    default:
        break;
    }
    return rc;
}

/* Creates the entry, writes it, looks it up and reads its data back. */
long cache_round(const char *key, const char *headers, const char *data, char *out,
                 unsigned long *out_length, int *found)
{
    unsigned long k = strlen(key), h = strlen(headers), n = strlen(data);
    long rc = -99;
    CCCREATE(key, &k, NULL, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    CCWRITE(key, &k, headers, &h, data, &n, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    CCLOOKUP(key, &k, found, &rc);
    if (rc != HTTPD_SUCCESS)
        return rc;
    CCREAD(key, &k, out, out_length, &rc);
    return rc;
}
