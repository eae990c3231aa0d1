/*
 * HTParse: URL parsing, simplification and escaping.
 *
 * Splits a URL into its parts in place, combines a URL with a base URL,
 * simplifies paths, expresses one URL relative to another, escapes and
 * unescapes, and finds a URL's port. Everything works on byte strings; new
 * strings come from the memory pool of the context passed last (null: the
 * calling thread's). All functions are reentrant.
 */
#ifndef HTPARSE_H
#define HTPARSE_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The parts of a URL: pointers into the scanned text, which the scan cuts
 * with zero bytes; null when the part is absent.
 */
typedef struct HTParseParts {
    char *scheme;   /* before the scheme colon, colon excluded */
    char *host;     /* after "//" up to the next "/" (may hold ":port") */
    char *absolute; /* the path after its first "/" (that "/" excluded) */
    char *relative; /* the whole remainder when it does not begin with "/" */
    char *fragment; /* after the first "#" */
} HTParseParts;

/* Wanted-parts bits of HTParse and HTParse_format; they combine. */
#define PARSE_SCHEME 16
#define PARSE_HOST 8
#define PARSE_PATH 4
#define PARSE_ANCHOR 2
#define PARSE_PUNCTUATION 1
#define PARSE_NO_DEFAULT_PATH 32
#define PARSE_ALL 31

/* Escape classes of HTEscape: the bytes left as they are. */
#define URL_XALPHAS 1 /* letters, digits and * - . @ _ */
#define URL_XPALPHAS 2 /* those and + */
#define URL_PATH 4 /* those and / */

/*
 * Splits the writable text, whose length (up to its terminator) is `length`,
 * into `parts`, cutting it in place. A colon is a scheme colon only with two
 * or more characters before it; a leading "URL:" is dropped. A text of fewer
 * than `length` bytes must not be passed.
 */
HT_EXPORT void HTParse_scan(char *text, HTParseParts *parts, size_t length) HT_NOEXCEPT;
HT_EXPORT void HTParse_cleanParts(HTParseParts *parts) HT_NOEXCEPT;

/*
 * Writes into `result` the wanted parts, each taken from `given` or, when
 * absent there, from `related`; `result` must hold the lengths of both
 * scanned URLs plus 10 bytes. Nothing is inherited across schemes, nor the
 * path across hosts. May change `related`.
 */
HT_EXPORT void HTParse_format(HTParseParts *given, HTParseParts *related, char *result,
                              int wanted, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * A new pool string with the wanted parts of `name` read relative to
 * `related`. Neither input is changed; a null input counts as empty. The
 * "WithLen" form reads exactly the given lengths.
 */
HT_EXPORT char *HTParse(const char *name, const char *related, int wanted, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT char *HTParseWithLen(const char *name, size_t nameLength, const char *related,
                               size_t relatedLength, int wanted, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * Simplifies the writable URL in place: "." and ".." segments, repeated
 * separators (backslashes become "/"), and the default ports of http (80),
 * https (443) and gopher (70). The result is never longer. Returns `url`.
 */
HT_EXPORT char *HTSimplify(char *url, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * `name` expressed relative to `related` ("../" steps), or `name` itself
 * without the scheme, or whole. The result always comes from the pool.
 */
HT_EXPORT char *HTRelative(const char *name, const char *related, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * A new pool string with every byte outside the class of `mask` written as
 * "%" and two upper-case hexadecimal digits. Null gives null.
 */
HT_EXPORT char *HTEscape(const char *text, unsigned char mask, HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * Removes trailing blanks, tabs, line feeds and carriage returns in place and
 * returns the first other character; null gives null.
 */
HT_EXPORT char *HTStrip(char *text) HT_NOEXCEPT;

/*
 * Cuts the text at its first control byte other than tab (below 32, 127 to
 * 159, or 255): 1 when it cut, 0 otherwise (also for null).
 */
HT_EXPORT int HTCleanTelnetString(char *text) HT_NOEXCEPT;

/*
 * The port of the URL as text, cutting the URL in place: the explicit port,
 * else the scheme's default ("443", "70", "21", else "80"). Null gives null.
 */
HT_EXPORT const char *HTParse_getPort(char *url) HT_NOEXCEPT;

/*
 * Decodes every "%" followed by two hexadecimal digits (either case) of the
 * writable text into the byte they denote, in place, and returns the text.
 * A "%" followed by anything else is kept as it stands, except that a "%"
 * followed by one hexadecimal digit that ends the text becomes that digit
 * times 16. The result is never longer than the input and nothing is read
 * past the terminating zero. A null text gives an empty text.
 */
HT_EXPORT char *HTUnEscape(char *str) HT_NOEXCEPT;

/*
 * HTUnEscape of the first `length` bytes of `str`, for callers that know the
 * length: str[length] must be the terminator or a separator the caller is
 * about to overwrite; it is read, never decoded. When `plus_is_blank` is
 * non-zero each "+" becomes a blank first (so "%2B" still gives "+"), as form
 * values need. Writes a terminator after the result and returns the position
 * of its first zero byte (the terminator, or the byte "%00" became); a null
 * text gives an empty text.
 */
HT_EXPORT char *HTUnEscapeSpan(char *str, size_t length, int plus_is_blank) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
