/*
 * HTGopher: the Gopher loader (RFC 1436) and its pages.
 *
 * A gopher:// URL names an item type (the first character of its path after
 * the '/', '1' for a bare "/") and a selector (the rest, percent-escaped).
 * The loader connects to the host (port 70 by default), sends the selector
 * (or a search or CSO query) with CR LF, and then passes the answer on with
 * a content type chosen from the item type, or turns a menu or a CSO answer
 * into an HTML page (or, for the "www/save" output format, plain text).
 *
 * Everything the server sends is outside text: on a page it is HTML-escaped
 * (display names, hosts, selectors, lines that are no menu item, CSO text,
 * the address on search pages), and the links are URL-escaped, so that no
 * server can put markup or a quote into a page. The page's frame (headings,
 * "<pre>", anchors, "<isindex>") is fixed.
 *
 * Menus: a line ends at LF, and a CR just before it belongs to no field.
 * Lines are cut at 1031 bytes (a longer line keeps overwriting its last
 * byte). A line "." or the byte 0xFF or the end of input ends the menu. A
 * port "0" is dropped from links (host only).
 *
 * Results of HTLoadGopher are the load results (HTLoadCodes.h): HT_LOAD_OK,
 * HT_LOAD_NO_URL (no physical address, error code 2006), HT_LOAD_EMPTY_URL
 * (an empty one, 2007; a CSO search page asked for in the save format,
 * 2600), the resolver's -1, -errno after a socket failure (error code the
 * errno), or HT_LOAD_FAILED when the item could not be passed on whole.
 */
#ifndef HTGOPHER_H
#define HTGOPHER_H

#include "HTAnchor.h"
#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A row of the item-type table: how a menu entry of that type is shown. */
typedef struct HTGopherItemType {
    const char *icon;          /* icon name ("gopher-text", ...) */
    const char *label;         /* alt text of the icon ("[ FILE ] ", ...) */
    const char *content_type;  /* or null */
    const char *encoding;      /* or null */
} HTGopherItemType;

/* The row of item type `type` ("gopher-unknown" for a type the table does not know). */
HT_EXPORT const HTGopherItemType *HTGopher_itemType(int type) HT_NOEXCEPT;

/* 1 when the byte is written as itself in a link's selector, 0 when it is escaped. */
HT_EXPORT int HTGopher_acceptable(int byte) HT_NOEXCEPT;

/* The loader of the "gopher" protocol. */
HT_EXPORT int HTLoadGopher(HTRequest *request, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * The menu read from the socket as an HTML page into `stream` (which is
 * freed at the end); the anchor's title heads it. save_menu writes the
 * plain-text form.
 */
HT_EXPORT void parse_menu(HTSocket *socket, HTAnchor *anchor, HTStream *stream, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void save_menu(HTSocket *socket, HTAnchor *anchor, HTStream *stream, HTThdGlobals *pool) HT_NOEXCEPT;
/* A CSO (ph) answer read from the socket as an HTML page, or plain text; the stream is freed. */
HT_EXPORT void parse_cso(HTSocket *socket, HTStream *stream, HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT void save_cso(HTSocket *socket, HTStream *stream, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * One linked menu entry: "<a href=LINK TITLE=NAME>", the icon when `icon`
 * is not null and one is configured, NAME, "</a>". The name is
 * HTML-escaped here; the link must already be URL-escaped (it is
 * HTML-escaped as well, which leaves such a link as it is).
 */
HT_EXPORT void write_anchor(const char *name, const char *link, const char *icon, const char *label,
                            const char *contentType, const char *encoding, HTStream *stream,
                            HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * Internal, for tests and fuzzing: the renderers on an answer held in
 * memory. `save` selects the plain-text form.
 */
void HTGopher__menuText(const char *answer, size_t length, HTAnchor *anchor, HTStream *stream, int save,
                        HTThdGlobals *pool) HT_NOEXCEPT;
void HTGopher__csoText(const char *answer, size_t length, HTStream *stream, int save,
                       HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
