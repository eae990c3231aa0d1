/*
 * htapi_cb: the callback table's prototypes by number, for C++.
 *
 * Cb<N>::fn is the function type of entry N, from the one list in
 * plugrt_host.h; both libplugrt (calling) and the host (filling) go through
 * it, so an entry can only be called or filled with its own prototype.
 */
#ifndef HTAPI_CB_H
#define HTAPI_CB_H

#include "plugrt_host.h"

namespace plugrt {

template <int N> struct Cb;
#define HTAPI_CB_TRAIT_(n, name, ret, params) \
    template <> struct Cb<n> { using fn = ret params; static constexpr const char *name_ = #name; };
HTAPI_CALLBACKS(HTAPI_CB_TRAIT_)
#undef HTAPI_CB_TRAIT_

// The list holds each number once, in order.
constexpr int kListedNumbers[] = {
#define HTAPI_CB_NUMBER_(n, name, ret, params) n,
    HTAPI_CALLBACKS(HTAPI_CB_NUMBER_)
#undef HTAPI_CB_NUMBER_
};
constexpr bool numbers_in_order()
{
    int i = 0;
    for (int n : kListedNumbers)
        if (n != i++)
            return false;
    return i == HTAPI_NCALLBACKS;
}
static_assert(numbers_in_order(), "HTAPI_CALLBACKS must list 0..171 in order");

} // namespace plugrt

#endif
