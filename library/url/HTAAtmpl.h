/*
 * HTAAtmpl: one-star name templates of the access rules.
 *
 * A template is a file name or path that may hold one "*" where the name is
 * allowed to differ: "*.html" covers every name ending in ".html". Simpler
 * and cheaper than the wildcard patterns of HTWild, with no captures.
 */
#ifndef HTAATMPL_H
#define HTAATMPL_H

#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * 1 when `name` equals `tmpl`, or when `tmpl` holds a "*" at the first
 * position where they differ and the text after that "*" equals the end of
 * the rest of `name`; else 0. A null argument gives 0 (traced). The Case
 * variant compares without regard to case.
 */
HT_EXPORT int HTAA_templateMatch(const char *tmpl, const char *name) HT_NOEXCEPT;
HT_EXPORT int HTAA_templateCaseMatch(const char *tmpl, const char *name) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
