// HTTPLoader: what the loader's modules share (HTTPConn, HTTPResp, HTTP):
// their trace forms, the catalogue numbers of their texts, and the context
// and configuration a null argument stands for.
#ifndef HTTPLOADER_HPP
#define HTTPLOADER_HPP

#include "HTConfig.h"
#include "HTGlobals.h"
#include "HTRequest-t.h"
#include "HTTrace.h"

#include <cstdio>

#define HTTP_TRACE_M(module, ...)                                                                                     \
    do {                                                                                                              \
        if (HT_TRACE_ON(module))                                                                                      \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)
#define HTTP_TRACE(...) HTTP_TRACE_M(HT_TRACE_HTTP, __VA_ARGS__)
#define HTTP_TRACE_AT(level, ...)                                                                                     \
    do {                                                                                                              \
        if (HT_TRACE_AT(HT_TRACE_HTTP, (level)))                                                                      \
            tfprintf(stderr, __VA_ARGS__);                                                                            \
    } while (0)

namespace ht_http {

// Catalogue numbers of the loader's texts (bundle "orvaneproxy", set 1).
constexpr int kMsgClientTimeout = 325;
constexpr int kMsgHostUnknown = 835;
constexpr int kMsgNoConnect = 836;
constexpr int kMsgHandshake = 837;
constexpr int kMsgNoSend = 838;
constexpr int kMsgNoForward = 839;
constexpr int kMsgNoData = 840;
constexpr int kMsgBadUrl = 841;
constexpr int kMsgNoResolve = 842;
// A text with no catalogue number: its built-in form is used.
constexpr int kMsgBuiltIn = 0;

inline HTThdGlobals *ctx(HTThdGlobals *g) { return g ? g : lib_gettp(); }
inline const HTStaticConfig *config_of(const HTRequest *r) { return r && r->config ? r->config : &HTMyStaticConfig; }

} // namespace ht_http

#endif
