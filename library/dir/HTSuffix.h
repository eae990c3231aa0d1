/*
 * HTSuffix: a file name's format and encoding, from its suffixes.
 *
 * The table is fixed and shared by every thread (no lock). A name's last
 * suffix is looked at first: when it names an encoding (".gz", ".Z", ...)
 * the encoding is taken and the suffix before it gives the format, so that
 * "notes.txt.gz" is text/plain in x-gzip. Suffixes compare without regard to
 * case, except the compress suffix ".Z", which is upper case only (".z" is
 * the older pack format, which has no entry). A name with no known suffix
 * has neither.
 *
 *     HTAtom *format, *encoding;
 *     HTSuffix_lookup("index.html", &format, &encoding);   // text/html, none
 *     const char *type = HTSuffix_contentType(format);       // "text/html"
 */
#ifndef HTSUFFIX_H
#define HTSUFFIX_H

#include "HTAtom.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The content type of files whose format is not known. */
#define HT_SUFFIX_DEFAULT_TYPE "application/octet-stream"

/*
 * Stores the name's format atom and encoding atom (null: none) through the
 * pointers that are not null. Only the part after the last '/' counts. 1
 * when either was found, else 0 (a null name gives 0).
 */
HT_EXPORT int HTSuffix_lookup(const char *name, HTAtom **format, HTAtom **encoding) HT_NOEXCEPT;

/* The format's name, or HT_SUFFIX_DEFAULT_TYPE for none. */
HT_EXPORT const char *HTSuffix_contentType(const HTAtom *format) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
