/*
 * nls: message catalogues.
 *
 * Every user-visible text is looked up by (bundle index, set, number) and
 * carries a built-in default, so a missing catalogue or message never stops
 * anything: the caller simply gets its default back.
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

/*
 * Returns the catalogue text for (set, number) of bundle `index`, or `dflt`
 * when there is none. Never fails; returns null only when `dflt` is null.
 */
HT_EXPORT const char *nlsGetString(int index, int set, int number, const char *dflt);

#ifdef __cplusplus
}
#endif

#endif
