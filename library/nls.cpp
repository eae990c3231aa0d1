// nls: message catalogues.
//
// No catalogue is loaded yet: every lookup answers with the caller's built-in
// text, which is exactly what a missing catalogue gives.

#include "nls.h"

extern "C" const char *nlsGetString(int index, int set, int number, const char *dflt)
{
    (void)index;
    (void)set;
    (void)number;
    return dflt;
}
