/*
 * HTLog: the library's error log hook.
 *
 * The library writes nothing to the error log itself: reports that belong
 * there (the socket table's and the writer's "PANIC!" lines) go through
 * HTLog_errorReflector, which forwards them to the handler the host
 * installed. Without a handler they are dropped. The handler is set at
 * start-up and may be called from any thread at once.
 */
#ifndef HTLOG_H
#define HTLOG_H

#include "HTRequest-t.h"
#include "htexport.h"

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one report: printf-style format and its arguments, and the request it concerns (or null). */
typedef void (*HTLogErrorHandler)(const char *format, HTRequest *request, va_list args);

/* Installs the handler (null: none); returns 0. */
HT_EXPORT int HTLogError_setHandler(HTLogErrorHandler handler) HT_NOEXCEPT;
/* The installed handler, or null. */
HTLogErrorHandler HTLogError_getHandler(void) HT_NOEXCEPT;

/* Forwards the report to the handler when one is set. */
HT_EXPORT void HTLog_errorReflector(const char *format, HTRequest *request, ...) HT_NOEXCEPT
    __attribute__((format(printf, 1, 3)));

#ifdef __cplusplus
}
#endif

#endif
