/*
 * HTIcons: the icons and link rules of directory pages.
 *
 * The configuration (HTConfig.h, the dir_icon_* words) holds four single
 * icons (unknown, blank, parent, directory), a chain of type icons, each
 * with a template, and a chain of link rules, each a URL prefix for names
 * with one extension. They are set up at start-up, before requests run,
 * and only read afterwards (no lock). Records and texts added without a
 * pool come from the heap and are released by HTClearIcons; with a pool
 * they live as long as it does.
 *
 * A type icon's template with a '/' is matched against a regular file's
 * format, type and subtype each by its own one-star template (HTAAtmpl.h):
 * "image/" followed by a star covers every image. A
 * template without '/' is matched against the file's encoding ("x-gzip").
 */
#ifndef HTICONS_H
#define HTICONS_H

#include "HTAtom.h"
#include "HTConfig.h"
#include "HTGlobals-t.h"
#include "htexport.h"

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTDirIcon {
    char *image;                   /* image path (absolute on this server) or URL */
    char *alt;                     /* alternative text */
    char *tmpl;                    /* type icons: the template; else null */
    struct HTDirIcon *next;
    int heap;                      /* 1: record and texts in the heap */
} HTDirIcon;

typedef struct HTDirHref {
    char *url;                     /* prefix put before the directory path and name */
    char *extension;               /* with its dot: ".ps" */
    struct HTDirHref *next;
    int heap;
} HTDirHref;

/* The host name used when this server's name cannot be found. */
#define HT_DIR_NO_HOST_NAME "CANT.GET.MY.HOST.NAME"

/*
 * Appends a type icon or a link rule (config null: HTMyStaticConfig; pool
 * null: the heap). 0, or -1 for a null text argument.
 */
HT_EXPORT int HTAddIcon(const char *image, const char *alt, const char *tmpl, HTStaticConfig *config,
                        HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT int HTAddHref(const char *url, const char *extension, HTStaticConfig *config,
                        HTThdGlobals *pool) HT_NOEXCEPT;
/* Set one of the single icons, replacing (and releasing) the previous one. 0, or -1 for a null text. */
HT_EXPORT int HTAddUnknownIcon(const char *image, const char *alt, HTStaticConfig *config) HT_NOEXCEPT;
HT_EXPORT int HTAddBlankIcon(const char *image, const char *alt, HTStaticConfig *config) HT_NOEXCEPT;
HT_EXPORT int HTAddParentIcon(const char *image, const char *alt, HTStaticConfig *config) HT_NOEXCEPT;
HT_EXPORT int HTAddDirIcon(const char *image, const char *alt, HTStaticConfig *config) HT_NOEXCEPT;
/* Removes every icon and link rule, releasing the heap ones. */
HT_EXPORT void HTClearIcons(HTStaticConfig *config) HT_NOEXCEPT;

/*
 * The icon of an entry by its mode (lstat) and its format and encoding
 * (either may be null): for a regular file the first type icon that
 * matches, else the unknown icon; the directory icon for a directory or a
 * symbolic link (the unknown one when unset); the unknown icon for other
 * kinds. The unknown icon is the blank one when unset. Null: none at all.
 */
HT_EXPORT const HTDirIcon *HTGetIcon(mode_t mode, const HTAtom *format, const HTAtom *encoding,
                                     HTThdGlobals *context) HT_NOEXCEPT;
/* The parent row's icon: the parent icon, else the directory, blank or unknown one; or null. */
HT_EXPORT const HTDirIcon *HTGetParentIcon(HTThdGlobals *context) HT_NOEXCEPT;
HT_EXPORT const HTDirIcon *HTGetBlankIcon(HTThdGlobals *context) HT_NOEXCEPT;
/* The first link rule whose extension equals the name's (from its last '.'), or null. */
HT_EXPORT const HTDirHref *HTGetHref(const char *name, HTThdGlobals *context) HT_NOEXCEPT;

/*
 * A path on this server as a full URL: "http://" host [":" port] path, for
 * a path starting with '/' (the port only when positive and not 80); any
 * other text is returned as it is. Host null: the configured name of this
 * server (proxy_host_name), else the system's host name, else
 * HT_DIR_NO_HOST_NAME. The result is a pool text when usePool is non-zero,
 * else a heap text the caller releases with HTAlloc_free (null: no memory).
 */
HT_EXPORT char *HTFullSelfReference(const char *host, const char *path, int port, int usePool,
                                    HTThdGlobals *context) HT_NOEXCEPT;

/* The configuration a context reads (its config word, else HTMyStaticConfig). */
const HTStaticConfig *HTDir_config(HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
