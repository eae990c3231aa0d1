/*
 * HTSafeInt: a shared counter with atomic addition.
 *
 * Changes are atomic read-modify-writes with no ordering beyond the update
 * itself: use it for counts, not to publish other data.
 */
#ifndef HTSAFEINT_H
#define HTSAFEINT_H

#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HTSafeInt HTSafeInt;

/* A counter at 0, or null when memory is short. */
HT_EXPORT HTSafeInt *HTSafeInt_new(void) HT_NOEXCEPT;
HT_EXPORT void HTSafeInt_delete(HTSafeInt *counter) HT_NOEXCEPT;
HT_EXPORT int32_t HTSafeInt_extract(const HTSafeInt *counter) HT_NOEXCEPT;
HT_EXPORT void HTSafeInt_set(HTSafeInt *counter, int32_t value) HT_NOEXCEPT;
/* Each returns the value its own update produced (wrapping like a 32-bit word). */
HT_EXPORT int32_t HTSafeInt_add(HTSafeInt *counter, int32_t amount) HT_NOEXCEPT;
HT_EXPORT int32_t HTSafeInt_subtract(HTSafeInt *counter, int32_t amount) HT_NOEXCEPT;
HT_EXPORT int32_t HTSafeInt_inc(HTSafeInt *counter) HT_NOEXCEPT;
HT_EXPORT int32_t HTSafeInt_dec(HTSafeInt *counter) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
