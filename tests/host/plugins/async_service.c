/*
 * A service plug-in that loads a URL through an asynchronous request. For
 * http://ANY/fetch?URL it starts the request, waits for it and answers
 * "STATUS LENGTH"; for http://ANY/leave?URL it starts the request and
 * answers "left" at once, without waiting: the request's memory (the latch
 * and the description are in it) must stay until the request has ended.
 * For http://ANY/proxy?URL it has the request proxied to URL, whose answer
 * is the client's. Any other URL it declines.
 */
#include "plugrt.h"

#include <stdio.h>
#include <string.h>

/* The server's request description. */
struct description {
    const char *url;
    int hold;
    int status;
    unsigned long length;
};

PLUGRT_EXPORT void async_service(void *handle, long *return_code);

void async_service(void *handle, long *return_code)
{
    char url[2048];
    char text[64];
    unsigned long name = 3, room = sizeof url - 1, length;
    long rc = HTTPD_FAILURE;
    const char *path;
    int wait;
    struct description *d;
    void *async = NULL;

    *return_code = 0;
    HTXTRACT(handle, "URL", &name, url, &room, &rc);
    if (rc != HTTPD_SUCCESS)
        return;
    url[room] = '\0';
    path = strstr(url, "://");
    path = path ? strchr(path + 3, '/') : NULL;
    if (path != NULL && strncmp(path, "/proxy?", 7) == 0) {
        length = (unsigned long)strlen(path + 7);
        HTPROXY(handle, path + 7, &length, NULL, NULL, &rc);
        *return_code = rc == HTTPD_PROXIED ? 200 : 0;
        return;
    }
    if (path != NULL && strncmp(path, "/fetch?", 7) == 0)
        wait = 1;
    else if (path != NULL && strncmp(path, "/leave?", 7) == 0)
        wait = 0;
    else
        return;
    d = (struct description *)HTMPMALLOC(handle, (long)sizeof *d);
    if (d == NULL)
        return;
    d->url = HTMPSTRDUP(handle, path + 7);
    d->hold = 0;
    d->status = 0;
    d->length = 0;
    HTCREATASYN(handle, &async, &rc);
    if (rc != HTTPD_SUCCESS || d->url == NULL)
        return;
    HTSTARTHTTPR(handle, d, async, &rc);
    if (rc != HTTPD_SUCCESS) {
        strcpy(text, "not started\n");
    } else if (wait) {
        HTWAITASYN(handle, async, &rc);
        sprintf(text, "%d %lu\n", d->status, d->length);
        HTDELASYN(handle, async, &rc);
    } else {
        strcpy(text, "left\n");
    }
    length = (unsigned long)strlen(text);
    HTWRITE(handle, text, &length, &rc);
    *return_code = rc == HTTPD_SUCCESS ? 200 : 0;
}
