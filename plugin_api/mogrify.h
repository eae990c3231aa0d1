/*
 * mogrify: the transmogrifier stream (types only, for now).
 *
 * A transmogrifier puts a plug-in module that rewrites the response into the
 * stream chain. HTTPD_write reads its leading fields in the transmogrifier
 * step: a record starts with its class and its downstream stream, then its
 * state; the module's own fields follow.
 */
#ifndef MOGRIFY_H
#define MOGRIFY_H

#include "plugrt_host.h"

namespace plugrt {

enum TransmogrifierState : int {
    kTrInitial = 0,  // also after the module's error function ran
    kTrOpening = 1,
    kTrOpen = 2,     // HTTPD_write accepted
    kTrWritten = 3,  // HTTPD_write accepted
    kTrClosing = 5,
    kTrDone = 6,
    kTrDisabled = 7
};

struct TransmogrifierHead {
    const HTStreamClass *isa;
    HTStream *target;
    int state;
};

} // namespace plugrt

#endif
