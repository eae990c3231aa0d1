/*
 * hosterror: the stand-in host's error pages.
 *
 * Installed as the library's load-error handler, it answers a failed
 * request with a small HTML page: the status line and head go through the
 * response header store to the request's output stream, then the page.
 */
#ifndef HOSTERROR_H
#define HOSTERROR_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes the page for `status` with the (HTML-escaped) message and the
 * context's detailed error keyword. Returns -status, like the library's
 * own handler; without an output stream nothing is written.
 */
int hosterror_page(HTRequest *request, int status, const char *message, HTThdGlobals *context);
/* The reason phrase the page's status line carries. */
const char *hosterror_reason(int status);
/* Makes hosterror_page the load-error handler. */
void hosterror_install(void);

#ifdef __cplusplus
}
#endif

#endif
