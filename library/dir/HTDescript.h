/*
 * HTDescript: the description column of directory pages.
 *
 * A directory may describe its files in ".www_descript", one description
 * per line:
 *
 *     Description  *.txt  Plain text notes
 *
 * A line counts when its first word starts with 'D' or 'd'; the second
 * word is a one-star file-name template (HTAAtmpl.h) and the rest of the
 * line, after blanks and up to its CR or LF, the text. Lines are read in
 * pieces of at most HT_DESCRIPT_LINE bytes; a line with an empty template
 * or text is ignored. The texts are the site's own and are shown as they
 * are (they may hold markup).
 *
 * Without a matching template an HTML file can be described by its own
 * title, when the configuration asks for it (dir_peek_title): the title is
 * markup already and goes through EncodeScriptCharacters (HTTPConn.h).
 * Every text comes from the request's pool.
 */
#ifndef HTDESCRIPT_H
#define HTDESCRIPT_H

#include "HTAtom.h"
#include "HTGlobals-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HT_DESCRIPT_FILE ".www_descript"
#define HT_DESCRIPT_LINE 256       /* bytes of a line read at a time */
#define HT_DESCRIPT_MAX_FILE (1L << 20) /* bytes of the file read at most */
#define HT_PEEK_TITLE_BYTES 400    /* bytes of an HTML file searched for its title */

/* One kept line: "template text". */
typedef struct HTDirDescription {
    char *line;
    struct HTDirDescription *next;
} HTDirDescription;

/* The directory's descriptions in file order, or null when it has no (readable) file or no line counts. */
HT_EXPORT HTDirDescription *HTReadDescriptions(const char *directory, HTThdGlobals *pool) HT_NOEXCEPT;
/*
 * The description of `name` (a plain name, without a directory's '/'):
 * the text of the first template that matches it, else, with title peeking
 * on and the format WWW_HTML, the peeked title cut to the configured
 * length; else null.
 */
HT_EXPORT const char *HTGetDescription(const HTDirDescription *list, const char *directory, const char *name,
                                       const HTAtom *format, HTThdGlobals *context) HT_NOEXCEPT;
/* Nothing to release: the list lives in the pool. Kept for the callers' symmetry. */
HT_EXPORT void HTFreeDescriptions(HTDirDescription *list) HT_NOEXCEPT;
/*
 * The title of directory/name: at most HT_PEEK_TITLE_BYTES read, the text
 * after "<TITLE>" (any case) up to "</TITLE>" (any case) or the end of what
 * was read, leading white space removed and every run of white space made
 * one blank. Null when the file cannot be read or has no title.
 */
HT_EXPORT char *HTPeekTitle(const char *directory, const char *name, HTThdGlobals *pool) HT_NOEXCEPT;
/* Cuts the text in place to the configured maximum description length (dir_max_description > 0). */
HT_EXPORT char *FitMaxDescrLength(char *text, HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
