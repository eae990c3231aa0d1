/*
 * A data filter that upper-cases every block, and a transmogrifier module
 * that writes "dog" for every "cat". The test sets the codes the functions
 * answer and reads the counts.
 */
#include "plugrt.h"

#include <ctype.h>
#include <string.h>

PLUGRT_EXPORT long filter_open_code;  /* what the filter's open answers */
PLUGRT_EXPORT long module_open_code;  /* what the module's open answers */
PLUGRT_EXPORT long module_write_code; /* what the module's write answers after `module_fail_after` blocks */
PLUGRT_EXPORT int module_fail_after;
PLUGRT_EXPORT int module_closes_chain; /* 1: close calls HTTPD_close */
PLUGRT_EXPORT int module_opens_chain;  /* 1: open calls HTTPD_open */
PLUGRT_EXPORT int counts[6];           /* filter writes, module opens, writes, closes, errors, filter closes */
PLUGRT_EXPORT long last_open_rc;       /* HTTPD_open's code in the module's open */
PLUGRT_EXPORT long last_close_rc;      /* HTTPD_close's code in the module's close */

PLUGRT_EXPORT void upper_open(void *handle, long *rc);
PLUGRT_EXPORT void upper_write(void *handle, const char *data, unsigned long *length, long *rc);
PLUGRT_EXPORT void upper_close(void *handle, long *rc);
PLUGRT_EXPORT void *dog_open(void *handle, long *rc);
PLUGRT_EXPORT void dog_write(void *handle, const char *data, unsigned long *length, void *context,
                             long *rc);
PLUGRT_EXPORT void dog_close(void *handle, void *context, long *rc);
PLUGRT_EXPORT void dog_error(void *handle, void *context, long *rc);

void upper_open(void *handle, long *rc)
{
    (void)handle;
    *rc = filter_open_code;
}

void upper_write(void *handle, const char *data, unsigned long *length, long *rc)
{
    char block[1024];
    unsigned long done = 0;
    ++counts[0];
    while (done < *length) {
        unsigned long n = *length - done, i;
        if (n > sizeof block)
            n = sizeof block;
        for (i = 0; i < n; ++i)
            block[i] = (char)toupper((unsigned char)data[done + i]);
        HTWRITE(handle, block, &n, rc);
        if (*rc != HTTPD_SUCCESS)
            return;
        done += n;
    }
    *rc = HTTPD_SUCCESS;
}

void upper_close(void *handle, long *rc)
{
    (void)handle;
    ++counts[5];
    *rc = HTTPD_SUCCESS;
}

static int context_word;

void *dog_open(void *handle, long *rc)
{
    ++counts[1];
    if (module_opens_chain)
        htopen(handle, &last_open_rc);
    *rc = module_open_code;
    return &context_word;
}

/* Each "cat" becomes "dog"; a word cut between two blocks is left as it is. */
void dog_write(void *handle, const char *data, unsigned long *length, void *context, long *rc)
{
    char block[4096];
    unsigned long n = *length < sizeof block ? *length : sizeof block, i;
    ++counts[2];
    if (context != &context_word || (module_fail_after > 0 && counts[2] > module_fail_after)) {
        *rc = module_write_code;
        return;
    }
    memcpy(block, data, n);
    for (i = 0; i + 3 <= n; ++i)
        if (memcmp(block + i, "cat", 3) == 0)
            memcpy(block + i, "dog", 3);
    HTWRITE(handle, block, &n, rc);
}

void dog_close(void *handle, void *context, long *rc)
{
    (void)context;
    ++counts[3];
    if (module_closes_chain)
        htclose(handle, &last_close_rc);
    *rc = HTTPD_SUCCESS;
}

void dog_error(void *handle, void *context, long *rc)
{
    (void)handle;
    (void)context;
    ++counts[4];
    *rc = HTTPD_SUCCESS;
}
