/*
 * HTFTPDir: FTP directory listing lines and their dates.
 *
 * An FTP server answers LIST with one line per entry in its operating
 * system's layout. The session records the layout as a style number (from
 * its SYST answer) and a first-line flag that is set while the first line is
 * awaited; HTFTP_parse_dir_entry dispatches on the style, corrects it when
 * the first line shows another layout, and fills an entry record. Lines are
 * modified in place; every string of the entry is a copy from the pool of
 * `pool` (null: the calling thread's). Sizes and link counts are 64-bit and
 * saturate at their largest value. A line that does not fit its layout gives
 * 0 and leaves the entry's remaining fields empty or 0. Traces go to module
 * "ftp".
 */
#ifndef HTFTPDIR_H
#define HTFTPDIR_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Listing styles, as the session assigns them from the SYST answer. */
#define HT_FTP_STYLE_NONE 0      /* unknown: every line is a file name */
#define HT_FTP_STYLE_UNIX 1
#define HT_FTP_STYLE_VMS 3
#define HT_FTP_STYLE_NT 9
#define HT_FTP_STYLE_NT_UNIX 10  /* an NT server that lists like UNIX */
#define HT_FTP_STYLE_PELION 11

/* File kinds of the entry's mode (the POSIX encoding). */
#define HT_FTP_MODE_DIR 0x4000
#define HT_FTP_MODE_FILE 0x8000
#define HT_FTP_MODE_LINK 0xA000
#define HT_FTP_MODE_KIND 0xF000

/* The session fields the parsers read and correct. */
typedef struct HTFTPListState {
    int style;      /* HT_FTP_STYLE_... or another session number */
    int first_line; /* 1 while the first listing line is awaited */
} HTFTPListState;

/* One listed entry. */
typedef struct HTFTPDirEntry {
    char *name;
    unsigned mode;      /* kind and permission bits */
    uint64_t links;
    char *owner;
    char *group;        /* empty text when the listing has none */
    uint64_t size;      /* bytes */
    time_t date;        /* seconds since the epoch, 0 when unknown */
} HTFTPDirEntry;

/*
 * Fills *entry from one listing line (modified in place). `header` marks a
 * line that is not an entry (one starting with "total ", or a first line
 * saying "not available"). `flag` set makes a date without a time of day
 * the last second of its day. 1: entry filled; 0: line ignored or not
 * parsable.
 */
HT_EXPORT int HTFTP_parse_dir_entry(HTFTPListState *session, char *line, int header, HTFTPDirEntry *entry,
                                    int flag, HTThdGlobals *pool) HT_NOEXCEPT;

/* The layout parsers; each returns 1 or 0 as HTFTP_parse_dir_entry. */
HT_EXPORT int parse_unix_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                              HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT int parse_vms_line(char *line, HTFTPDirEntry *entry, HTFTPListState *session,
                             HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT int parse_pelion_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                                HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT int parse_nt_line(char *line, HTFTPDirEntry *entry, int flag, HTFTPListState *session,
                            HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * Mode bits of a permission text such as "drwxr-sr-t": kind from the first
 * character, then the user, group and other triplets with s/S and t/T.
 * Characters missing from a shorter text count as "-".
 */
HT_EXPORT unsigned HTFTPFilePerm(const char *permissions) HT_NOEXCEPT;

/*
 * A UNIX-style listing date of three words (month day time-or-year, or day
 * month year): seconds, or 0 when it cannot be read.
 */
HT_EXPORT time_t HTStrpTime(const char *text, int flag, HTFTPListState *session, HTThdGlobals *pool) HT_NOEXCEPT;
/* "DD-MON-YYYY HH:MM[:SS]": seconds, or 0. */
HT_EXPORT time_t HTVMSStrpTime(const char *text, HTFTPListState *session, HTThdGlobals *pool) HT_NOEXCEPT;
/*
 * "MM-DD-YY HH:MM[AM|PM]" ("/" may separate the date too): seconds, or 0. A
 * two-digit year falls within ten years ahead of the current one; a year of
 * 100 or more is a full year.
 */
HT_EXPORT time_t HTPelionStrpTime(const char *text, int flag, HTFTPListState *session) HT_NOEXCEPT;
/* 0 to 11 for a text whose first three letters name a month (case ignored), else -1. */
HT_EXPORT int HTStrpMonth(const char *text) HT_NOEXCEPT;

/*
 * The clock the dates read as "now" (null: time()). Listings give times of
 * day without a year, so the year depends on it; tests fix it.
 */
typedef time_t (*HTFTPClock)(void);
void HTFTPDir_setClock(HTFTPClock clock) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
