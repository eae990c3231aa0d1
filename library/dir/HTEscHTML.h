/*
 * HTEscHTML: outside text made safe to stand in an HTML page.
 *
 * Names from a directory or an FTP server, Gopher display names and the
 * like are shown as text, never taken as markup: & < > " and ' become
 * character references, so the text cannot open a tag, end an attribute
 * or start an entity. Every other byte is kept.
 */
#ifndef HTESCHTML_H
#define HTESCHTML_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A pool copy of the text escaped (null gives null). */
HT_EXPORT char *HTEscapeHTML(const char *text, HTThdGlobals *pool) HT_NOEXCEPT;
/* The same for `length` bytes of `text` (which need not end in a zero byte). */
HT_EXPORT char *HTEscapeHTMLSpan(const char *text, size_t length, HTThdGlobals *pool) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
