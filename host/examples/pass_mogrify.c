/*
 * pass_mogrify: a transmogrifier that takes part in every answer and
 * changes nothing (the measure of what a transmogrifier costs).
 *
 *     TransmogrifierPlugin PATTERN /path/to/pass_mogrify.so pass_open pass_write pass_close pass_error
 *
 * Its open opens the rest of the chain and answers 200; every block is
 * written on as it came. Plain C99 against plugrt.h.
 */
#include "plugrt.h"

#include <stddef.h>

PLUGRT_EXPORT void *pass_open(void *handle, long *return_code);
PLUGRT_EXPORT void pass_write(void *handle, const char *data, unsigned long *length, void *context,
                              long *return_code);
PLUGRT_EXPORT void pass_close(void *handle, void *context, long *return_code);
PLUGRT_EXPORT void pass_error(void *handle, void *context, long *return_code);

void *pass_open(void *handle, long *return_code)
{
    long rc = HTTPD_FAILURE;
    htopen(handle, &rc);
    *return_code = rc == HTTPD_SUCCESS ? 200 : 0;
    return NULL;
}

void pass_write(void *handle, const char *data, unsigned long *length, void *context, long *return_code)
{
    long rc = HTTPD_SUCCESS;
    (void)context;
    HTWRITE(handle, data, length, &rc);
    *return_code = rc == HTTPD_SUCCESS ? HTTPD_SUCCESS : 500;
}

void pass_close(void *handle, void *context, long *return_code)
{
    (void)context;
    htclose(handle, return_code);
}

void pass_error(void *handle, void *context, long *return_code)
{
    (void)handle;
    (void)context;
    *return_code = HTTPD_SUCCESS;
}
