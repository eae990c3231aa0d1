/*
 * HTAccess: protocol dispatch and document loading.
 *
 * A request for a URL becomes a call of the loader registered for its
 * scheme. Before the call, the physical address is worked out: the
 * context's current URL, or that URL behind the proxy that proxy selection
 * (servprox.h) chooses for it. HTLoadDocument wraps the call in the retry
 * loop: a failure the loader marks as retryable (HT_LOAD_RETRY,
 * HT_LOAD_RETRY_CONNECT) moves on to the next server of the request's
 * preference list (HTServerPref.h), and a failed peer-cache forward falls
 * back to the origin.
 *
 * The loaders stay silent about retryable failures while a preference list
 * is walked, and error pages are held back while a peer cache is tried that
 * the origin may stand in for. When the loop gives up and nothing has
 * reached the client, HTLoadDocument produces the page of the last failure
 * itself (504, the detailed error the loader set, connectfail when none,
 * and the connect-failure text with the last URL tried): the client always
 * gets exactly one answer.
 *
 * The protocol list is process-wide: the built-in loaders are registered
 * once (HTAccessInit, also run on the first look-up when nothing is
 * registered), others by the host at start-up. Registration takes a lock;
 * look-ups read without one.
 *
 * Results are the load results of HTLoadCodes.h for HTLoad and the
 * loaders; HTLoadDocument gives 1 (done: the document or an error page was
 * produced) or 0 (failed, the request's error code says why).
 */
#ifndef HTACCESS_H
#define HTACCESS_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A loader: writes the document into the request's output stream; a load result. */
typedef int (*HTLoadRoutine)(HTRequest *request, HTThdGlobals *context);

/* A protocol record: the scheme (compared exactly) and its loader. */
typedef struct HTProtocol {
    const char *name;
    HTLoadRoutine load;
} HTProtocol;

/* At most this many protocols are registered. */
#define HT_ACCESS_MAX_PROTOCOLS 32

/* HTLoadDocument's results. */
#define HT_ACCESS_DONE 1
#define HT_ACCESS_FAILED 0

/* Catalogue number (bundle "orvaneproxy", set 1) of the forbidden-by-rule text. */
#define HT_MSG_FORBIDDEN_BY_RULE 864

/*
 * Appends the record (kept by pointer: it must outlive every request) to
 * the protocol list: 1, or 0 for a null record or a full list.
 */
HT_EXPORT int HTRegisterProtocol(HTProtocol *protocol) HT_NOEXCEPT;
/* Registers the built-in protocols, once however often and from however many threads it is called. */
HT_EXPORT void HTAccessInit(void) HT_NOEXCEPT;
/* The record registered for `scheme` (built-ins registered first when the list is empty), or null. */
HT_EXPORT HTProtocol *HTAccess_find(const char *scheme) HT_NOEXCEPT;
/* Internal, for tests: the number of registered protocols, and the record at `index` (or null). */
int HTAccess__count(void) HT_NOEXCEPT;
HTProtocol *HTAccess__protocol(int index) HT_NOEXCEPT;

/*
 * The host's rule check, asked before the physical address is worked out:
 * non-zero forbids the URL, and the request is answered 500 "Access
 * forbidden by rule" (detailed error byrule). Null: every URL is allowed.
 * Installed at start-up, before requests run.
 */
typedef int (*HTAccessRuleCheck)(HTRequest *request, const char *url, HTThdGlobals *context);
HT_EXPORT void HTAccess_setRuleCheck(HTAccessRuleCheck check) HT_NOEXCEPT;

/*
 * 1 while an error page can still be written for the request: it has an
 * output stream and, when that is the client's writer, nothing has gone
 * into it and it is not freed; a stream of another class is asked with
 * HT_STREAM_MSG_UNTOUCHED, and one that does not answer counts as
 * untouched. Else 0.
 */
HT_EXPORT int HTAccess_outputUntouched(const HTRequest *request) HT_NOEXCEPT;

/*
 * Works out the physical address and calls the protocol's loader: its
 * result, or HT_LOAD_NO_PROTOCOL (error code 2015), HT_LOAD_FAILED for no
 * physical address (2016), the error page's result for a forbidden URL
 * (2003), or another negative result of the address step (2017).
 */
HT_EXPORT int HTLoad(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
/* The retry loop around HTLoad: HT_ACCESS_DONE or HT_ACCESS_FAILED. */
HT_EXPORT int HTLoadDocument(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
/* A new anchor for `url` on the request, then HTLoadDocument; `unused` is not read. */
HT_EXPORT int HTLoadToStream(const char *url, int unused, HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The split request/response mode. scm_HTLoadRequest is HTLoad;
 * scm_HTLoadDocumentRequest is the retry loop around it that also gives
 * back HT_LOAD_UNDONE (the request half ran; the answer is read later by
 * scm_HTLoadResponse), retries without looking at the method and leaves
 * the retry-status word alone. scm_HTLoadResponse reads the answer of an
 * http request (HT_LOAD_FAILED for any other protocol, and with error code
 * 2016 for no physical address).
 */
HT_EXPORT int scm_HTLoadRequest(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int scm_HTLoadDocumentRequest(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int scm_HTLoadToStreamRequest(const char *url, int unused, HTRequest *request,
                                        HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int scm_HTLoadResponse(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
