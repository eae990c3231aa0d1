/*
 * mogrify: the transmogrifier stream, the Warning 214 it adds, and the
 * module's opening and closing of the rest of the chain (htopen, htclose).
 *
 * A transmogrifier puts a plug-in module that rewrites the response into the
 * stream chain. HTTPD_write reads its leading fields in the transmogrifier
 * step: a record starts with its class and its downstream stream, then its
 * state. Its target is freed exactly once: by htclose, or by the stream's
 * own free or abort when the module never closed it (also when disabled).
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
    kTrDone = 6,     // the target has been freed
    kTrDisabled = 7  // data passes to the target unchanged
};

struct TransmogrifierHead {
    const HTStreamClass *isa;
    HTStream *target;
    int state;
};

struct Transmogrifier {
    TransmogrifierHead head;
    HTAPIResponse *response; // from put_headers
    const char *name;
    const char *open_name;
    const char *write_name;
    const char *close_name;
    const char *error_name;
    void *context;           // what the module's open returned
    HTTransmogrifierModule module;
    HTAPIHandle *handle;
};

// Adds Warning 214 to the response's header list (made by entry 84 when
// missing) unless one is there; true when the response then has one.
bool make_warning(HTAPIHandle *h, HTAPIResponse *response) noexcept;

} // namespace plugrt

#endif
