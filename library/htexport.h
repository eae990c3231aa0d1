/*
 * htexport.h: the one export macro of htcommon.
 *
 * Everything is built with hidden visibility; a function or object that another
 * deliverable may resolve from the host process carries HT_EXPORT.
 */
#ifndef HTEXPORT_H
#define HTEXPORT_H

#if defined(__GNUC__)
#define HT_EXPORT __attribute__((visibility("default")))
#else
#define HT_EXPORT
#endif

#endif
