/*
 * HTFTPBrowse: the HTML page of an FTP directory listing.
 *
 * The listing's lines are read from the data connection (each with a
 * length limit), parsed by the session's listing style (HTFTPDir.h) and
 * shown as a table in the layout of the local directory pages: a title, the
 * server's welcome text, one row per entry and a summary line. Rows come in
 * the directory pages' order (names descending, ignoring case), entries with
 * equal names in arrival order. Every text from the server (names, owners,
 * groups, the welcome text) is HTML-escaped; a name longer than the name
 * column is cut before it is escaped, and links are URL-escaped. A path that
 * starts with "/%2F" is absolute on the server: its parent links keep that
 * prefix ("/%2F/" is the root), since a relative ".." would lead back to the
 * login directory.
 */
#ifndef HTFTPBROWSE_H
#define HTFTPBROWSE_H

#include "HTFTPDir.h"
#include "HTGlobals-t.h"
#include "HTInputSocket.h"
#include "HTRequest-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest listing line read at once; a longer one is read as several. */
#define HT_FTP_LIST_LINE_LIMIT 4096

/* Columns an FTP listing can show (bits of the FTP column mask). */
#define HT_FTP_COL_LINKS 0x8
#define HT_FTP_COL_OWNER 0x10
#define HT_FTP_COL_GROUP 0x20
#define HT_FTP_COL_SIZE 0x40
#define HT_FTP_COL_DATE 0x80

/* The columns a listing style provides. */
HT_EXPORT unsigned HTFTP_columnsOf(int style) HT_NOEXCEPT;

/*
 * Reads the listing from `data` until the server closes it and sends the
 * page to the request's output stream with status 200. `path` is the URL's
 * path (escaped, as in the URL); `welcome` the server's welcome text or
 * null. HT_LOAD_OK, or the result of HTLoadError.
 */
HT_EXPORT int HTFTPBrowseDirectory(HTRequest *request, const char *path, HTInputSocket *data,
                                   HTFTPListState *state, const char *welcome, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The page of `count` entries (reordered in place) to `stream`, which is
 * neither freed nor aborted: the top (HTDirOutFtpTop), the rows and the
 * summary. 0, or -1 when the stream refused a write.
 */
HT_EXPORT int HTFTPWritePage(HTStream *stream, const char *path, HTFTPDirEntry *entries, size_t count,
                             unsigned columns, const char *welcome, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The page top: title and heading from the unescaped path, the welcome text
 * (placed before the table), the table head with `header` cells and the
 * parent row. 0, or -1 when the stream refused a write.
 */
HT_EXPORT int HTDirOutFtpTop(HTStream *stream, const char *path, const char *header, const char *welcome,
                             HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
