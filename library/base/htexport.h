/*
 * htexport.h: the export macro of htcommon and the exception marker of its
 * C interface.
 *
 * Everything is built with hidden visibility; a function or object that
 * another deliverable may resolve from the host process carries HT_EXPORT.
 * Every function of the C interface is declared HT_NOEXCEPT: seen from C++
 * it is noexcept, and the library's definitions must say so too, so that no
 * C++ exception can cross into a C caller.
 */
#ifndef HTEXPORT_H
#define HTEXPORT_H

#if defined(__GNUC__)
#define HT_EXPORT __attribute__((visibility("default")))
#else
#define HT_EXPORT
#endif

#ifdef __cplusplus
#define HT_NOEXCEPT noexcept
#else
#define HT_NOEXCEPT
#endif

#endif
