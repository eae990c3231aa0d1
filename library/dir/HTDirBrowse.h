/*
 * HTDirBrowse: directory pages.
 *
 * A local directory, or a listing an FTP server sent, becomes one HTML
 * page: a title, the directory's README or the server's welcome text, a
 * table with a row per entry (icon, linked name, the configured columns)
 * and a summary line. HTBrowseDirectory does all of it for a local
 * directory; an FTP listing fills HTDirEntry records itself and calls the
 * same generator: InitBody for the header cells, HTDirColumnText for each
 * row's cells, then HTDirOutTop, HTDirOutList and HTDirOutBottom on an HTML
 * answer stream (HTOutStream.h).
 *
 * Text from outside is never taken as markup: names, the title and an FTP
 * welcome text are HTML-escaped (a name cut to the name width is cut first,
 * then escaped, and its ">" marker added), links are URL-escaped and never
 * hold a quote. The local README and the descriptions are the site's own
 * and are written as they are.
 *
 * Everything comes from the request's pool; the configuration (HTConfig.h,
 * the dir_* words) is only read. One page is made by one thread.
 */
#ifndef HTDIRBROWSE_H
#define HTDIRBROWSE_H

#include "HTAnchor.h"
#include "HTAtom.h"
#include "HTGlobals-t.h"
#include "HTIcons.h"
#include "HTRequest-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Listing flags (dir_flags). */
#define HT_DIR_ICONS 0x1
#define HT_DIR_PERMISSIONS 0x2
#define HT_DIR_LINKS 0x4
#define HT_DIR_OWNER 0x8
#define HT_DIR_GROUP 0x10
#define HT_DIR_SIZE 0x20
#define HT_DIR_DATE 0x40
#define HT_DIR_HIDDEN 0x80        /* list names that start with '.' */
#define HT_DIR_LINK_ITALICS 0x200 /* symbolic links in italics */
#define HT_DIR_ICON_FIRST 0x400   /* the icon-first row layout */
#define HT_DIR_CASE_ORDER 0x800   /* names in case-sensitive order */
#define HT_DIR_BY_SIZE 0x1000
#define HT_DIR_BY_TIME 0x2000
#define HT_DIR_COLUMNS (HT_DIR_PERMISSIONS | HT_DIR_LINKS | HT_DIR_OWNER | HT_DIR_GROUP | HT_DIR_SIZE | HT_DIR_DATE)

/* Columns an FTP listing has (the mask of InitBody); permissions are always there. */
#define HT_FTP_HAS_LINKS 0x8
#define HT_FTP_HAS_OWNER 0x10
#define HT_FTP_HAS_GROUP 0x20
#define HT_FTP_HAS_SIZE 0x40
#define HT_FTP_HAS_DATE 0x80

/* Where the README (dir_readme) or the FTP welcome text (dir_ftp_welcome) goes. */
#define HT_DIR_README_NONE 0
#define HT_DIR_README_TOP 1     /* before the table */
#define HT_DIR_README_BOTTOM 2  /* after the page */

/* The detailed error of a directory that cannot be read ("dirnobrowse"). */
#define HT_DERR_DIRNOBROWSE 54

#define HT_DIR_SIZE_FIELD 8     /* width of the size column's field */
#define HT_DIR_SIZE_BUFFER 64   /* bytes a buffer for HTDirSize or HTDirSizeK needs */
#define HT_DIR_SIZE_MAX_WIDTH 40
#define HT_DIR_PERM_BUFFER 11   /* FilePerm2: ten characters and the zero */

/* One listed name. */
typedef struct HTDirEntry {
    const void *key;               /* sort key: &size, &mtime, or name */
    char *name;                    /* with "/" appended for a directory */
    int is_dir;
    char *columns;                 /* the row's column text (HTDirColumnText), or null */
    const HTDirIcon *icon;         /* or null */
    const HTDirHref *href;         /* link rule, or null */
    int is_link;                   /* a symbolic link */
    long long size;                /* bytes (the size key points here) */
    long long mtime;               /* seconds (the time key points here) */
} HTDirEntry;

/* A comparator of two sort keys (negative, 0, positive). */
typedef int (*HTDirCompare)(const void *a, const void *b);

/*
 * The entries of a page in listing order. An entry precedes another when
 * the comparator called as (other, entry) is negative, so the name
 * comparators list names in descending order and HTDirLintCmp small keys
 * first; entries with equal keys keep the order they were added in.
 */
typedef struct HTDirTree {
    HTDirEntry **entries;
    size_t count;
    size_t capacity;
    HTDirCompare compare;
    int sorted;
} HTDirTree;

HT_EXPORT HTDirTree *HTDirTree_new(HTDirCompare compare, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void HTDirTree_add(HTDirTree *tree, HTDirEntry *entry, HTThdGlobals *context) HT_NOEXCEPT;
/* Puts the entries in listing order (done by HTDirOutList when needed). */
HT_EXPORT void HTDirTree_sort(HTDirTree *tree, HTThdGlobals *context) HT_NOEXCEPT;

/* Name keys, case-sensitive and not (strcmp's sign convention). */
HT_EXPORT int HTDirStrCmp(const void *a, const void *b) HT_NOEXCEPT;
HT_EXPORT int HTDirStrCaseCmp(const void *a, const void *b) HT_NOEXCEPT;
/* Size or time keys (long long): 1, 0 or -1 as the second is above, equal to or below the first. */
HT_EXPORT int HTDirLintCmp(const void *a, const void *b) HT_NOEXCEPT;

/* What an FTP page top needs besides the generator's arguments. */
typedef struct HTDirFtpInfo {
    const char *welcome;           /* the server's welcome text (plain text), or null */
} HTDirFtpInfo;

/*
 * Renders the local directory `path` for the request on an HTML answer
 * stream (HTOutStream_newHTML over the request's output_stream). 29999
 * (HT_LOAD_OK) when the page was written; for a directory that cannot be
 * opened, the detailed error HT_DERR_DIRNOBROWSE and the result of
 * HTLoadError with status 403; HT_LOAD_FAILED when the request has no
 * output stream. An entry whose status cannot be read is left out (traced).
 */
HT_EXPORT int HTBrowseDirectory(HTRequest *request, const char *path, HTThdGlobals *context) HT_NOEXCEPT;

/* The page's parts (see above); each returns 0, or -1 when the stream refused output. */
HT_EXPORT int HTDirOutTop(HTStream *stream, const HTAnchor *anchor, const char *header, const char *path,
                          const HTDirFtpInfo *ftp, int nameWidth, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTDirOutList(HTStream *stream, HTDirTree *tree, const char *base, const char *path,
                           int columnWidth, int nameWidth, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT int HTDirOutBottom(HTStream *stream, unsigned count, const char *path, const HTDirFtpInfo *ftp,
                             long long totalBytes, HTThdGlobals *context) HT_NOEXCEPT;
/* The plain-text list of the save format: each name on a line of its own. */
HT_EXPORT int HTDirSaveList(HTStream *stream, HTDirTree *tree, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The header cells of a local listing (InitBody2) or of an FTP listing
 * whose columns are `ftpMask` (InitBody): a pool text; its length is
 * stored through `width` when not null.
 */
HT_EXPORT char *InitBody2(int *width, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT char *InitBody(unsigned ftpMask, int *width, HTThdGlobals *context) HT_NOEXCEPT;

/* The values of one row's cells. */
typedef struct HTDirCells {
    unsigned columns;              /* HT_DIR_DATE ... HT_DIR_GROUP bits to show */
    int description_on;            /* the description cell is shown */
    long long mtime;
    int has_time;                  /* 0: the date cell shows "-" */
    long long size;
    int is_dir;                    /* the size cell shows "-" */
    unsigned mode;                 /* POSIX file-mode bits */
    unsigned long long links;
    const char *owner;             /* null: owner_id is shown */
    unsigned long owner_id;
    const char *group;             /* null: group_id is shown */
    unsigned long group_id;
    const char *description;       /* null: none */
} HTDirCells;

/*
 * The column text of a row: the enabled cells in the order date, size,
 * permissions, links, owner, group, description, then blanks up to `width`
 * characters when the cells are shorter. A pool text.
 */
HT_EXPORT char *HTDirColumnText(const HTDirCells *cells, size_t width, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * A size in a field of `width` characters (at most HT_DIR_SIZE_MAX_WIDTH;
 * the text ends at the field's last position): above 999 bytes as
 * HTDirSizeK of the kilobytes; else the byte count with dir_exact_bytes, or
 * "    1K" ("    0K" for nothing). `buffer` holds HT_DIR_SIZE_BUFFER bytes.
 */
HT_EXPORT char *HTDirSize(long long bytes, char *buffer, int width, HTThdGlobals *context) HT_NOEXCEPT;
/* "%5dK", "%5.1fM", "%5dM", "%5.1fG" or "%5dG" of the kilobytes; `buffer` holds HT_DIR_SIZE_BUFFER bytes. */
HT_EXPORT char *HTDirSizeK(char *buffer, double kilobytes) HT_NOEXCEPT;
/* Ten characters of the mode: type, then rwx for owner, group, others, with s/S and t/T. */
HT_EXPORT char *FilePerm2(unsigned mode, char *buffer) HT_NOEXCEPT;
/* The type and the triplets of `parts` (1 owner, 2 group, 4 others). */
HT_EXPORT char *FilePerm(unsigned mode, int parts, char *buffer) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
