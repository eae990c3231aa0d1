/*
 * hello_service: a service plug-in that answers one URL itself.
 *
 *     ServicePlugin PATTERN /path/to/hello_service.so hello_service
 * (PATTERN: the URLs offered, such as http:// and a star)
 *
 * For a URL whose path is /hello it sends "hello from the proxy" as
 * text/plain with status 200; any other URL it declines (return code 0),
 * so that the request goes to the origin. Plain C99 against plugrt.h.
 */
#include "plugrt.h"

#include <string.h>

PLUGRT_EXPORT void hello_service(void *handle, long *return_code);

void hello_service(void *handle, long *return_code)
{
    static const char body[] = "hello from the proxy\n";
    static const char type[] = "text/plain";
    char url[2048];
    unsigned long name = 3, room = sizeof url, n = 12, v = sizeof type - 1, length = sizeof body - 1;
    const char *path;
    long rc = HTTPD_FAILURE;

    *return_code = 0;
    HTXTRACT(handle, "URL", &name, url, &room, &rc);
    if (rc != HTTPD_SUCCESS)
        return;
    /* The path of an absolute URL: after "scheme://authority". */
    path = strstr(url, "://");
    path = path ? strchr(path + 3, '/') : NULL;
    if (path == NULL || strcmp(path, "/hello") != 0)
        return;
    HTSET(handle, "CONTENT_TYPE", &n, type, &v, &rc);
    if (rc != HTTPD_SUCCESS)
        return;
    HTWRITE(handle, body, &length, &rc);
    *return_code = rc == HTTPD_SUCCESS ? 200 : 0;
}
