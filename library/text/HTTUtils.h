/*
 * HTTUtils: date helpers for header and listing parsers.
 *
 * English month and weekday names as the HTTP dates of the cached clock use
 * them, and the conversion of a broken-down GMT time to seconds.
 */
#ifndef HTTUTILS_H
#define HTTUTILS_H

#include "htexport.h"

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 0 to 11 for a text beginning with a three-letter month name (case ignored); 0 when unknown. */
HT_EXPORT int make_month(const char *text) HT_NOEXCEPT;
/* 0 to 6 for a text beginning with "Sun" ... "Sat" (case ignored), else -1. */
HT_EXPORT int ParseWeekday(const char *text) HT_NOEXCEPT;
/* "Sun" ... "Sat", or "???" outside 0 to 6. */
HT_EXPORT const char *DayOfWeekString(int day) HT_NOEXCEPT;
/*
 * Seconds since the epoch of a broken-down GMT time, through mktime and the
 * process time zone (one hour more when tm_isdst says daylight saving).
 * mktime normalises *tm.
 */
HT_EXPORT time_t HTgmt_to_local(struct tm *tm) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
