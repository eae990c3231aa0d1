/*
 * HTParse: URL parsing, simplification and escaping.
 *
 * Works on the caller's zero-terminated strings; unescaping happens in place
 * and allocates nothing, so it is safe from any thread.
 */
#ifndef HTPARSE_H
#define HTPARSE_H

#include "htexport.h"

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

#ifdef __cplusplus
}
#endif

#endif
