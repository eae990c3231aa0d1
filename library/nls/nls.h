/*
 * nls: message catalogues.
 *
 * Every user-visible text is looked up by (bundle index, set, number) and
 * carries a built-in default, so a missing catalogue or message never stops
 * anything: the caller simply gets its default back. Seven named bundles are
 * loaded from the catalogue directory on first use, at most once per
 * process (a failed load is not retried). The directory is fixed at build
 * time (HT_CATALOG_DIR, "/opt/orvane/vell/kq/msg"); the environment variable
 * ORVANE_MSG_DIR, when set and not empty, replaces it (tests point it at the
 * build tree).
 */
#ifndef NLS_H
#define NLS_H

#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bundle indexes of the catalogue table. */
enum {
    NLS_CACHEAGT = 0,
    NLS_CONFIG = 1,
    NLS_HTMLFORM = 2,
    NLS_HTMLPROX = 3,
    NLS_ORVANEPROXY = 4,
    NLS_ORVANEHTC = 5,
    NLS_ORVANEKQ = 6
};
#define NLS_BUNDLES 7

/*
 * Loads bundle `index` for the ICU locale (null: ICU's default) unless it is
 * loaded already, and counts one reference: 1, or 0 when it is not loaded.
 */
HT_EXPORT int nlsLoadResources(int index, const char *locale) HT_NOEXCEPT;
/* Drops one reference; the last one destroys the bundle. A free without a reference is ignored. */
HT_EXPORT void nlsFreeResources(int index) HT_NOEXCEPT;

/*
 * Returns the catalogue text for (set, number) of bundle `index`, or `dflt`
 * when there is none. Never fails; returns null only when `dflt` is null.
 * When `dflt` holds printf conversions, the catalogue text is used only when
 * its conversions take the same arguments in the same order, so that a
 * catalogue text can safely stand in for a format.
 */
HT_EXPORT const char *nlsGetString(int index, int set, int number, const char *dflt) HT_NOEXCEPT;

/* The catalogue directory in use. */
HT_EXPORT const char *nlsCatalogDirectory(void) HT_NOEXCEPT;

/* Internal, for tests: 1 when `text` may stand in for the format `dflt`. */
int nls__sameConversions(const char *text, const char *dflt) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
