/*
 * body_service: a service plug-in for the host's tests that reads the
 * request itself.
 *
 *     ServicePlugin PATTERN body_service.so body_service
 *
 * .../body: reads the whole body with HTTPD_read and answers 201 with the
 * method, the query, the X-Test header and then the body, and an X-Seen
 * header with the body's length. .../taste: reads a few body bytes and
 * declines. Anything else it declines untouched.
 */
#include "plugrt.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

PLUGRT_EXPORT void body_service(void *handle, long *return_code);

static const char *path_of(void *handle)
{
    unsigned long selector = 0;
    const char *url = htgetvar(handle, "URL", &selector);
    const char *p = url ? strstr(url, "://") : NULL;
    p = p ? strchr(p + 3, '/') : NULL;
    return p ? p : "";
}

static void set(void *handle, const char *name, const char *value)
{
    unsigned long n = strlen(name), v = strlen(value);
    long rc = HTTPD_FAILURE;
    HTSET(handle, name, &n, value, &v, &rc);
}

void body_service(void *handle, long *return_code)
{
    const char *path = path_of(handle);
    unsigned long selector = 0;
    size_t used = 0, room = 1 << 16;
    char *body;
    long rc = HTTPD_SUCCESS;
    char line[512], seen[32];
    unsigned long n;

    *return_code = 0;
    if (strncmp(path, "/taste", 6) == 0) {
        char b[4];
        n = sizeof b;
        HTREAD(handle, b, &n, &rc);
        return;
    }
    if (strncmp(path, "/body", 5) != 0)
        return;
    body = malloc(room);
    if (body == NULL)
        return;
    for (;;) {
        if (room - used < 1024) {
            char *grown = realloc(body, room * 2);
            if (grown == NULL)
                break;
            body = grown;
            room *= 2;
        }
        n = (unsigned long)(room - used);
        HTREAD(handle, body + used, &n, &rc);
        if (rc == HTTPD_BUFFER_TOO_SMALL) {
            char *grown = realloc(body, used + n + 1024);
            if (grown == NULL)
                break;
            body = grown;
            room = used + n + 1024;
            continue;
        }
        if (rc == HTTPD_SUCCESS || rc == HTTPD_END_OF_BODY)
            used += n;
        if (rc != HTTPD_SUCCESS)
            break;
    }
    if (rc != HTTPD_END_OF_BODY) {
        free(body);
        *return_code = 0;
        return;
    }
    {
        const char *method = htgetvar(handle, "REQUEST_METHOD", &selector);
        const char *query = htgetvar(handle, "QUERY_STRING", &selector);
        const char *test = htgetvar(handle, "HTTP_X-Test", &selector);
        n = (unsigned long)snprintf(line, sizeof line, "%s %s %s\n", method ? method : "-", query ? query : "-",
                                    test ? test : "-");
    }
    snprintf(seen, sizeof seen, "%lu", (unsigned long)used);
    set(handle, "STATUS", "201 Made Here");
    set(handle, "CONTENT_TYPE", "text/plain");
    set(handle, "HTTP_X-Seen", seen);
    HTWRITE(handle, line, &n, &rc);
    n = (unsigned long)used;
    if (n > 0)
        HTWRITE(handle, body, &n, &rc);
    free(body);
    *return_code = 200;
}
