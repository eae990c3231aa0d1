/*
 * HTSockCopy: everything a socket delivers, copied into a stream.
 *
 * For answers that are passed on as they arrive (a Gopher item, an FTP
 * file): the socket is read until the peer closes it, and every block goes
 * to the stream's write operation. The stream is neither freed nor aborted:
 * the caller ends it, knowing from the result whether the copy was whole.
 *
 *     long long n = HTSockCopy_toStream(data, out, request, context);
 *     if (n < 0) out->isa->abort(out, NULL); else out->isa->free(out, NULL);
 */
#ifndef HTSOCKCOPY_H
#define HTSOCKCOPY_H

#include "HTGlobals-t.h"
#include "HTRequest-t.h"
#include "HTSocket-t.h"
#include "HTStream-t.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results below zero. */
#define HT_COPY_READ_FAILED (-1)   /* the socket failed (its error word holds errno) */
#define HT_COPY_WRITE_FAILED (-2)  /* the stream refused a block (the client went away) */
#define HT_COPY_ABORTED (-3)       /* the request's abort flag was raised */

/* Block size of the copy. */
#define HT_COPY_BLOCK 8192

/*
 * Copies until end of file: the byte count copied (0 or more), or one of
 * the results above, with what was read before the failure already written.
 * A socket that would block is waited on (HTSocket_isready) as long as the
 * request is not aborted. Null socket or stream gives HT_COPY_READ_FAILED.
 */
HT_EXPORT long long HTSockCopy_toStream(HTSocket *socket, HTStream *stream, HTRequest *request,
                                        HTThdGlobals *context) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
