/*
 * htcalls: authentication, scripts and files as the response, URL
 * escaping, the four logs, restart, proxying, labels, variants, URL and
 * cookie rewriting, and allocation from the request's pool.
 *
 * Plug-in text handed to a log is always an argument of a "%s" format,
 * never a format itself; the buffers the library allocates for the logs are
 * measured from their parts and freed once the host's log entry returns.
 * A body given to HTTPD_proxy is copied into the stored request body, so
 * the plug-in's memory is never freed by the library, and the forwarded
 * Content-Length is the number of body bytes actually sent.
 */
#ifndef HTCALLS_H
#define HTCALLS_H

#include "plugrt_host.h"

#endif
