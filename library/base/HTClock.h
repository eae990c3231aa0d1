/*
 * HTClock: the cached clock.
 *
 * The host's timer calls updatetimeRep() periodically; every other reader of
 * the time (trace lines, run-queue stamps, idle times, log and HTTP dates)
 * copies from the newest of 128 ready-made snapshots instead of asking the
 * system and formatting a date each time.
 */
#ifndef HTCLOCK_H
#define HTCLOCK_H

#include "htexport.h"

#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Number of snapshots in the ring. */
#define HT_TIMEREP_RING 128
/* Room for any of the snapshot texts, terminator included. */
#define HT_TIME_TEXT_MAX 40

/*
 * One snapshot: the time, its broken-down forms and its ready-made texts.
 * The ring is exported for the host; read it through the functions below,
 * which take the ring's lock (only `seconds` of the current slot may be read
 * without it).
 */
typedef struct HTTimeSnapshot {
    int64_t seconds;
    struct tm gmt;
    struct tm local;
    char log_gmt[HT_TIME_TEXT_MAX];
    int log_gmt_len;
    char log_local[HT_TIME_TEXT_MAX];
    int log_local_len;
    char http[HT_TIME_TEXT_MAX];
    int http_len;
} HTTimeSnapshot;

HT_EXPORT extern HTTimeSnapshot timeRep[HT_TIMEREP_RING];
/* The current slot, -1 before the first snapshot. */
HT_EXPORT extern int timeRepIndex;

/* Takes a new snapshot; log time texts are made in GMT when useGMT is non-zero. */
HT_EXPORT void updatetimeRep(int useGMT) HT_NOEXCEPT;

/* Seconds of the newest snapshot; the system time while there is none yet. */
HT_EXPORT time_t HTtime(void) HT_NOEXCEPT;

/*
 * Copies of the broken-down time of the newest snapshot (GMT or local per the
 * GMT flag for HTtm). Before the first snapshot they convert the system time.
 */
HT_EXPORT void HTtm(struct tm *out) HT_NOEXCEPT;
HT_EXPORT void HTtm_gmtime(struct tm *out) HT_NOEXCEPT;
HT_EXPORT void HTtm_localtime(struct tm *out) HT_NOEXCEPT;
/* Day of the year (0 to 365) of the local broken-down time. */
HT_EXPORT int HTtm_yday(void) HT_NOEXCEPT;

/*
 * Text copies: the buffer must hold HT_TIME_TEXT_MAX bytes. Each returns the
 * text's length; an absent text (no snapshot yet) gives the empty text.
 * HTtime_strcpy gives the GMT log text when the GMT flag is set and that text
 * exists, else the local one.
 */
HT_EXPORT int HTtime_strcpy(char *buffer) HT_NOEXCEPT;
HT_EXPORT int HTtime_strcpy_gmtime(char *buffer) HT_NOEXCEPT;
HT_EXPORT int HTtime_strcpy_localtime(char *buffer) HT_NOEXCEPT;
/* Copies the HTTP date of the newest snapshot and returns its seconds (0 when none). */
HT_EXPORT time_t HTtime_strcpy_HTTPtime(char *buffer) HT_NOEXCEPT;

/*
 * The HTTP date of `seconds` ("Thu, 01 Jan 1970 00:00:00 GMT") into a buffer
 * of HT_TIME_TEXT_MAX bytes; returns the buffer.
 */
HT_EXPORT char *http_time(time_t seconds, char *buffer) HT_NOEXCEPT;

/* Seconds since local midnight of the newest snapshot. */
HT_EXPORT long HTtime_sinceMidnight(void) HT_NOEXCEPT;
/* gettimeofday(). */
HT_EXPORT int getTimeSinceEpoch(struct timeval *tv) HT_NOEXCEPT;
/* end - start in microseconds. */
HT_EXPORT long long getElapsedTime(const struct timeval *start, const struct timeval *end) HT_NOEXCEPT;

/*
 * Selects the date form of the log time texts from the next snapshot on:
 * non-zero (the default) "%d/%b/%Y:%H:%M:%S ", zero "%d/%m/%Y:%H:%M:%S ".
 * The host sets it from its configuration.
 */
HT_EXPORT void HTClock_setLogMonthNames(int useNames) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
