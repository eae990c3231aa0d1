/*
 * htapivar: server variables of the plug-in API.
 *
 * A variable name is normalised ('-' becomes '_', the rest upper-cased by
 * the host) and looked up among the known names: CGI-style variables,
 * request and response fields, server counters, the prefix families HTTP_,
 * PROXY_, CGI_, REDIRECT_ and SSI_; any other name is a user variable, kept
 * by the host under the caller's own spelling. The values live in the host;
 * this module decides which name means which host entry, converts formats
 * and copies results into request memory.
 */
#ifndef HTAPIVAR_H
#define HTAPIVAR_H

#include "htapi.h"

#include <cstddef>

namespace plugrt {

// How a value is being set: HTTPD_set (mode 2), HTTPD_replace, httpd_setvar (the caller's mode).
enum class SetHow : unsigned char { Set, Replace, SetVar };

/*
 * The value of a variable, in request memory, in *value. 0 found, 3 none,
 * 2 when request memory ran out (-1 through the frame when an entry is
 * missing). `selector` is passed to the host's request header lookup.
 */
long read_variable(Frame &f, const char *name, std::size_t length, unsigned long selector,
                   const char **value) noexcept;

/*
 * Sets a variable; `value` (null: empty) of `value_length` bytes is copied
 * and terminated first. Returns the API code.
 */
long set_variable(Frame &f, SetHow how, const char *name, std::size_t length, const char *value,
                  std::size_t value_length, unsigned long mode, unsigned long selector) noexcept;

} // namespace plugrt

#endif
