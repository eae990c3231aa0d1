/*
 * smuxbridge_log: the daemon's report output. Every report goes to standard
 * output behind a "file(line)" location prefix; which reports print depends on
 * the trace mask given with -d.
 */
#ifndef SMUXBRIDGE_LOG_H
#define SMUXBRIDGE_LOG_H

#include <stdint.h>
#include <stdio.h>

/* Trace mask from the command line. */
extern int tracing;

/* Trace bits. */
enum {
    TRACE_DPI_LVL1 = 8,
    TRACE_DPI_LVL2 = 16,
    TRACE_INTERNAL1 = 32,
    TRACE_INTERNAL2 = 64,
    TRACE_INTERNAL3 = 128,
    TRACE_PROGRESS = 224, /* any of the internal levels */
    TRACE_DETAIL = 192    /* levels 2 and 3 */
};

/* The last component of a source path, for the location prefix. */
const char *smuxbridge_srcname(const char *path);

/* Progress and failure reports: "file(line): " and the text. */
#define SB_TRACE(...)                                                          \
    do {                                                                       \
        if (tracing & TRACE_PROGRESS) {                                        \
            printf("%s(%d): ", smuxbridge_srcname(__FILE__), __LINE__);        \
            printf(__VA_ARGS__);                                               \
        }                                                                      \
    } while (0)

/* Reports gated on the two higher internal levels. */
#define SB_DETAIL(...)                                                         \
    do {                                                                       \
        if (tracing & TRACE_DETAIL) {                                          \
            printf("%s(%d): ", smuxbridge_srcname(__FILE__), __LINE__);        \
            printf(__VA_ARGS__);                                               \
        }                                                                      \
    } while (0)

/* Reports that print whatever the mask: "file(line) " and the text. */
#define SB_ALWAYS(...)                                                         \
    do {                                                                       \
        printf("%s(%d) ", smuxbridge_srcname(__FILE__), __LINE__);             \
        printf(__VA_ARGS__);                                                   \
    } while (0)

/* Result of a called function: failures when tracing at all, everything at
 * level 128. */
#define SB_RC(rc, fn)                                                          \
    do {                                                                       \
        const int sb_rc_ = (rc);                                               \
        if ((sb_rc_ != 0 && tracing) || (tracing & TRACE_INTERNAL3))           \
            printf("%s(%d): rc=%d from %s()\n", smuxbridge_srcname(__FILE__),  \
                   __LINE__, sb_rc_, (fn));                                    \
    } while (0)

/* Hex dump of a packet at level 128. */
void log_bfr(const unsigned char *buf, uint32_t len, const char *label);

#endif
