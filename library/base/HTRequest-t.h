/*
 * HTRequest-t.h: the request record (types only).
 *
 * The request being loaded, shared by every layer that works on it: the
 * socket layer, the input socket and the writer read its I/O fields, the
 * loaders and the document loader the rest. It sits in the bottom layer so
 * that all of them can see it; the functions that make and delete requests
 * belong to the request-records module above the network layer.
 *
 * Fields are grouped by the module that owns them; a module adds its fields
 * to its own group.
 */
#ifndef HTREQUEST_T_H
#define HTREQUEST_T_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct HTStream;
struct HTAnchor;
struct HTThdGlobals;

#define HT_REQUEST_EYECATCHER "HTREQUESTEYECATCHER"

typedef struct HTRequest {
    char eyecatcher[20];           /* HT_REQUEST_EYECATCHER, with its zero */

    /* ---- request records ---- */

    /* ---- socket layer, input socket, writer ---- */

} HTRequest;

#ifdef __cplusplus
}
#endif

#endif
