/*
 * plugrt_codes.h: the return codes of the plug-in API.
 *
 * Every request-bound call stores one of these through its last argument
 * (httpd_setvar returns it). The numbers are part of the binary interface
 * that plug-ins were compiled against: they never change.
 */
#ifndef PLUGRT_CODES_H
#define PLUGRT_CODES_H

#define HTTPD_SUCCESS 0            /* done */
#define HTTPD_FAILURE 1            /* could not be done: no output stream, the host refused */
#define HTTPD_NO_MEMORY 2          /* a pool allocation failed */
#define HTTPD_BAD_ARGUMENT 3       /* bad arguments, or (HTTPD_extract) no such variable */
#define HTTPD_WRONG_STEP 4         /* not allowed in the request's current processing step */
#define HTTPD_READ_ONLY 5          /* the variable cannot be set */
#define HTTPD_BUFFER_TOO_SMALL 6   /* the needed size is returned in the length */
#define HTTPD_NOT_AUTHENTICATED 7  /* HTTPD_authenticate */
#define HTTPD_END_OF_BODY 8        /* the request body has been read to its end */
#define HTTPD_BODY_FAILURE 9       /* bad framing, stored copy refused, output refused */
#define HTTPD_PROXIED 10           /* proxied: the response has been produced */
#define HTTPD_NO_OUTPUT 11         /* the request no longer accepts plug-in output */
#define HTTPD_DONE 200             /* encode, decode and rewrite-tag calls: done */
#define HTTPD_UNSUPPORTED (-1)     /* not supported, or the host left out an entry it needs */

#endif
