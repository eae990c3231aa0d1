/*
 * HTParse: URL parsing, simplification and escaping.
 *
 * Works on the caller's zero-terminated strings; unescaping happens in place
 * and allocates nothing, so it is safe from any thread.
 */
#ifndef HTPARSE_H
#define HTPARSE_H

#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Decodes every "%" followed by two hexadecimal digits (either case) of the
 * writable text into the byte they denote, in place, and returns the text.
 * A "%" followed by anything else is kept as it stands, except that a "%"
 * followed by one hexadecimal digit that ends the text becomes that digit
 * times 16. The result is never longer than the input and nothing is read
 * past the terminating zero. A null text gives an empty text.
 */
HT_EXPORT char *HTUnEscape(char *str);

/*
 * HTUnEscape of the first `length` bytes of `str`, for callers that know the
 * length: str[length] must be the terminator or a separator the caller is
 * about to overwrite; it is read, never decoded. When `plus_is_blank` is
 * non-zero each "+" becomes a blank first (so "%2B" still gives "+"), as form
 * values need. Writes a terminator after the result and returns the position
 * of its first zero byte (the terminator, or the byte "%00" became); a null
 * text gives an empty text.
 */
HT_EXPORT char *HTUnEscapeSpan(char *str, size_t length, int plus_is_blank);

#ifdef __cplusplus
}
#endif

#endif
