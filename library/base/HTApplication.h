/*
 * HTApplication: limits how much of the worker pool one application may hold.
 *
 * The host declares applications with a limit in percent of the pool; each
 * request that enters an application is counted, and Enter tells the caller
 * when the application now holds its limit. A pool size below 1 turns the
 * limiter off.
 */
#ifndef HTAPPLICATION_H
#define HTAPPLICATION_H

#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HT_APPLICATION_SLOTS 256
#define HT_APPLICATION_NAME_MAX 127

typedef struct HTApplication HTApplication;

HT_EXPORT void HTApplication_Init(void) HT_NOEXCEPT;
HT_EXPORT void HTApplication_SetThreadNumber(int poolSize) HT_NOEXCEPT;
/*
 * Adds an application, or updates the one of that name (left unchanged when
 * limit or value1 is 0 or negative, or value2 is 0). A name is kept, and
 * compared, as its first HT_APPLICATION_NAME_MAX characters. Null when the
 * table is full or memory is short.
 */
HT_EXPORT HTApplication *HTApplication_Add(const char *name, int limitPercent, int value1,
                                           int value2, int value3, const char *text) HT_NOEXCEPT;
HT_EXPORT void HTApplication_DeleteByName(const char *name) HT_NOEXCEPT;
HT_EXPORT void HTApplication_DeleteByHandle(HTApplication *app) HT_NOEXCEPT;
/* 1 when the application now holds at least its limit, else 0. */
HT_EXPORT int HTApplication_Enter(HTApplication *app, void *request) HT_NOEXCEPT;
/* Counts the request out again (neither count goes below 0); 0. */
HT_EXPORT int HTApplication_Leave(HTApplication *app, void *request) HT_NOEXCEPT;
/* Percent of the pool inside applications, as the last Enter computed it. */
HT_EXPORT int HTApplication_GetRatio(void) HT_NOEXCEPT;
/* The current thread count of an application (0 for null). */
HT_EXPORT int HTApplication_GetCount(const HTApplication *app) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
