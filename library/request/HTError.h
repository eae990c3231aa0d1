/*
 * HTError: detailed error keywords and the replaceable error hooks.
 *
 * Every failed request carries a detailed error number in its context,
 * named by a keyword of KnownDetailedErrors for the error page and the log.
 * The numbers are not the positions in the table: a few numbers are unused
 * (12, 44, 49, 82) and two keywords appear twice ("proxynotauth" twice with
 * 30; "ftphpnosocket" shares 80 with "scriptnocomm"), and both directions
 * of the mapping go by number.
 *
 * The error page itself is the host's: loaders call HTLoadError, which
 * calls the handler the host installed, or by default aborts the request's
 * output stream. Handlers are installed at start-up, before requests run.
 */
#ifndef HTERROR_H
#define HTERROR_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTDetailedError {
    const char *keyword;
    int number;
} HTDetailedError;

/* The keyword table, in table order, ended by a row whose keyword is null. */
HT_EXPORT extern const HTDetailedError KnownDetailedErrors[];

/* The number of the keyword (exact, case-sensitive), or 0 for null or an unknown keyword. */
HT_EXPORT int HTStringToErrnum(const char *keyword) HT_NOEXCEPT;
/* The first keyword of the table with number n; "ok" when no keyword has it. */
HT_EXPORT const char *HTErrnumToString(int n) HT_NOEXCEPT;
/* Stores the number and its keyword as the context's detailed error (null: the calling thread's). */
HT_EXPORT void HTDetailedError_set(int number, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * Produces the error page of a failed request with the HTTP status and the
 * user-visible message. The result is the handler's; the default handler
 * aborts the request's output stream (through its class's abort operation,
 * when there is a stream) and returns -status. When the context's
 * suppress_errors word is set, nothing is called and the result is 0.
 */
typedef int (*HTLoadErrorHandler)(HTRequest *request, int status, const char *message,
                                  HTThdGlobals *context);
HT_EXPORT int HTLoadError(HTRequest *request, int status, const char *message,
                          HTThdGlobals *context) HT_NOEXCEPT;
/* Installs the handler (null: the default one again); returns 0. */
HT_EXPORT int HTLoadError_setHandler(HTLoadErrorHandler handler) HT_NOEXCEPT;

/*
 * Produces a "304 Not Modified" answer for a request. The default handler
 * only traces that it was called and returns -1.
 */
typedef int (*HTGen304ReplyHandler)(HTRequest *request, HTThdGlobals *context);
HT_EXPORT int HTGen304Reply(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
/* Installs the handler (null: the default one again); returns 0. */
HT_EXPORT int HTGen304Reply_setHandler(HTGen304ReplyHandler handler) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
