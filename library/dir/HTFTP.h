/*
 * HTFTP: the "ftp" loader, a client session over a control connection and
 * passive data connections.
 *
 * The loader logs in (anonymous, or the URL's user and password), learns the
 * listing style from SYST, and either fetches a file (RETR, status 200 with
 * the suffix table's Content-Type and the size when the server tells it) or
 * lists a directory (a URL ending in "/", or a name whose RETR is refused
 * with 550 and whose CWD is accepted) as an HTML page with the server's
 * welcome text. Only passive mode is used, and a data address other than the
 * control connection's server is refused. Every reply line is read with a
 * length limit and a reply has a bounded number of lines. Failures produce
 * the error page (HTLoadError) with the "ftp..." detailed error, except
 * while the document loader walks a server-preference list, when the loader
 * stays silent so that the walk can go on.
 *
 * URL paths are relative to the login directory; "/%2F" at the start names
 * the server's root.
 */
#ifndef HTFTP_H
#define HTFTP_H

#include "HTFTPDir.h"
#include "HTGlobals-t.h"
#include "HTInputSocket.h"
#include "HTRequest-t.h"
#include "htexport.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The default control port. */
#define HT_FTP_PORT 21
/* Longest reply line piece read at once, and most lines of one reply. */
#define HT_FTP_LINE_LIMIT 2048
#define HT_FTP_REPLY_LINES 512
/* Most bytes of welcome text kept for the page. */
#define HT_FTP_WELCOME_LIMIT 16384

/*
 * Loads request->anchor's physical address ("ftp://[user[:password]@]host
 * [:port]/path") into the request's output stream. HT_LOAD_OK when the file
 * or page was sent; HT_LOAD_RETRY_CONNECT when the server could not be
 * reached (after the error page, unless a server-preference walk is on);
 * otherwise the result of HTLoadError.
 */
HT_EXPORT int HTLoadFTP(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/* One reply being read, line by line. */
typedef struct HTFTPReply {
    int code;        /* 100..599 once the first line was read, else 0 */
    int multi;       /* 1 while the lines of a multi-line reply are awaited */
    int lines;       /* lines read */
} HTFTPReply;

/* Results of HTFTP_replyLine. */
#define HT_FTP_REPLY_MORE 0      /* the reply goes on */
#define HT_FTP_REPLY_DONE 1      /* the line ended the reply */
#define HT_FTP_REPLY_BAD (-1)    /* not an FTP reply */

/*
 * Feeds the next line (`length` bytes, no line end) of a reply, starting
 * from a zero-filled record. *text_offset (when not null) receives where
 * the line's text starts (after "ddd " or "ddd-" on lines that carry one).
 */
HT_EXPORT int HTFTP_replyLine(HTFTPReply *reply, const char *line, size_t length, size_t *text_offset) HT_NOEXCEPT;

/*
 * The address and port of a 227 reply's "h1,h2,h3,h4,p1,p2" (`length` bytes
 * of text): 0 with *address in network order, or -1.
 */
HT_EXPORT int HTFTP_parsePasv(const char *text, size_t length, uint32_t *address, int *port) HT_NOEXCEPT;

/* The listing style of a SYST reply's text: UNIX 1, VMS 3, Windows_NT 9, Pelion 11, anything else 1. */
HT_EXPORT int HTFTP_styleOf(const char *text) HT_NOEXCEPT;

/*
 * The size a 150 reply announces ("... (1234 bytes)"), or -1 when it names
 * none.
 */
HT_EXPORT long long HTFTP_announcedSize(const char *text) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
