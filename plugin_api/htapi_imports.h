/*
 * htapi_imports: the six names libplugrt takes from the host process.
 *
 * libplugrt links nothing of the common library; the host carries it and
 * exports these, and the dynamic linker binds them when libplugrt is loaded
 * (a host without them cannot load it). The function types are kept as
 * aliases so that the host can check them against the common library's own
 * declarations at compile time (host/orvhost_imports.cpp).
 */
#ifndef HTAPI_IMPORTS_H
#define HTAPI_IMPORTS_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace plugrt_import {

// The URL parts record of HTParse_scan: five pointers into the cut text.
struct UrlParts {
    char *scheme;
    char *host;
    char *absolute;
    char *relative;
    char *fragment;
};

using HTTrace_level_t = int(int module, uint32_t level);
using HTTrace_module_t = int(int module);
template <class Parts> using HTParse_scan_t = void(char *text, Parts *parts, std::size_t length);
using HTInetString_t = char *(const struct sockaddr_in *address, char *buffer);
using out_of_memory_t = void(const char *file, const char *function, int line, std::size_t size);
using tc_t = uint32_t *;

constexpr int kTraceLevelWord = 93; // tc[93]: the global trace level, 0 when off
constexpr int kInetStringSize = 16; // HTInetString's buffer: a dotted quad and its NUL

} // namespace plugrt_import

#ifndef HTAPI_IMPORT_TYPES_ONLY
extern "C" {
plugrt_import::HTTrace_level_t HTTrace_level;
plugrt_import::HTTrace_module_t HTTrace_module;
plugrt_import::HTParse_scan_t<plugrt_import::UrlParts> HTParse_scan;
plugrt_import::HTInetString_t HTInetString;
[[noreturn]] plugrt_import::out_of_memory_t out_of_memory;
extern plugrt_import::tc_t tc;
}
#endif

#endif
