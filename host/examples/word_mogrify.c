/*
 * word_mogrify: a transmogrifier that rewrites one word in text responses.
 *
 *     TransmogrifierPlugin PATTERN /path/to/word_mogrify.so word_open word_write word_close word_error
 *
 * Every "origin" in the body of a text/... answer becomes "proxy"; other
 * answers it declines at its open, so that they pass as they came. A word
 * cut between two blocks is still found: the end of a block that could be
 * the start of the word waits for the next block (or the close). Plain C99
 * against plugrt.h.
 */
#include "plugrt.h"

#include <stdlib.h>
#include <string.h>

#define WORD "origin"
#define REPLACEMENT "proxy"
#define WORD_LENGTH (sizeof WORD - 1)

PLUGRT_EXPORT void *word_open(void *handle, long *return_code);
PLUGRT_EXPORT void word_write(void *handle, const char *data, unsigned long *length, void *context,
                              long *return_code);
PLUGRT_EXPORT void word_close(void *handle, void *context, long *return_code);
PLUGRT_EXPORT void word_error(void *handle, void *context, long *return_code);

struct word_state {
    char held[WORD_LENGTH]; /* the start of a possible word from the last block */
    unsigned long held_length;
    int failed;
};

static void put_out(void *handle, struct word_state *s, const char *data, unsigned long n)
{
    long rc = HTTPD_SUCCESS;
    if (n == 0 || s->failed)
        return;
    HTWRITE(handle, data, &n, &rc);
    if (rc != HTTPD_SUCCESS)
        s->failed = 1;
}

/* Rewrites [data, data + n) and sends it, but a tail that may begin the word. */
static void rewrite(void *handle, struct word_state *s, const char *data, unsigned long n)
{
    unsigned long from = 0, i = 0;
    while (i < n) {
        unsigned long k = 0;
        while (k < WORD_LENGTH && i + k < n && data[i + k] == WORD[k])
            ++k;
        if (k == WORD_LENGTH) {
            put_out(handle, s, data + from, i - from);
            put_out(handle, s, REPLACEMENT, sizeof REPLACEMENT - 1);
            i += WORD_LENGTH;
            from = i;
        } else if (i + k == n && k > 0) {
            break; /* the block ends inside a possible word */
        } else {
            ++i;
        }
    }
    put_out(handle, s, data + from, i - from);
    s->held_length = n - i;
    memcpy(s->held, data + i, s->held_length);
}

void *word_open(void *handle, long *return_code)
{
    unsigned long selector = 0;
    const char *type = htgetvar(handle, "PROXY_CONTENT_TYPE", &selector);
    struct word_state *s;
    long rc = HTTPD_FAILURE;

    *return_code = 0;
    if (type == NULL || strncmp(type, "text/", 5) != 0)
        return NULL;
    s = calloc(1, sizeof *s);
    if (s == NULL)
        return NULL;
    htopen(handle, &rc);
    if (rc != HTTPD_SUCCESS) {
        free(s);
        return NULL;
    }
    *return_code = 200;
    return s;
}

void word_write(void *handle, const char *data, unsigned long *length, void *context, long *return_code)
{
    struct word_state *s = context;
    char joined[WORD_LENGTH + 4096];
    unsigned long n = *length;

    *return_code = HTTPD_SUCCESS;
    if (s == NULL)
        return;
    /* The held start and the first bytes together, then the rest of the block alone. */
    while (n > 0) {
        const unsigned long take = n < 4096 ? n : 4096;
        const unsigned long held = s->held_length;
        memcpy(joined, s->held, held);
        memcpy(joined + held, data, take);
        s->held_length = 0;
        rewrite(handle, s, joined, held + take);
        data += take;
        n -= take;
    }
    if (s->failed)
        *return_code = 500;
}

void word_close(void *handle, void *context, long *return_code)
{
    struct word_state *s = context;
    long rc = HTTPD_SUCCESS;

    *return_code = HTTPD_SUCCESS;
    if (s == NULL)
        return;
    put_out(handle, s, s->held, s->held_length);
    free(s);
    htclose(handle, &rc);
}

void word_error(void *handle, void *context, long *return_code)
{
    (void)handle;
    (void)context;
    *return_code = HTTPD_SUCCESS;
}
