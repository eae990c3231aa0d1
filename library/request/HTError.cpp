// HTError: detailed error keywords and the replaceable error hooks.

#include "HTError.h"

#include "HTGlobals.h"
#include "HTStream-t.h"
#include "HTTrace.h"

#include <atomic>
#include <cstring>

extern "C" const HTDetailedError KnownDetailedErrors[] = {
    {"ok", 0}, {"okgateway", 1}, {"okredirect", 2}, {"notauthorized", 3}, {"notmember", 4},
    {"ipmask", 5}, {"ipmaskproxy", 6}, {"byrule", 7}, {"noacl", 8}, {"noentry", 9},
    {"setuperror", 10}, {"dotdot", 11}, {"badredirect", 13}, {"baduser", 14},
    {"notallowed", 15}, {"notfound", 16}, {"multifail", 17}, {"unknownmethod", 18},
    {"methoddisabled", 19}, {"dirbrowse", 20}, {"noformat", 21}, {"openfailed", 22},
    {"shttperror", 23}, {"badrequest", 24}, {"proxyfail", 25}, {"badscript", 26},
    {"scriptnotfound", 27}, {"scriptstart", 28}, {"scriptio", 29}, {"proxynotauth", 30},
    {"proxynotauth", 30}, {"proxynotmember", 31}, {"pwexpired", 32}, {"proxypwexpired", 33},
    {"pwchanged", 34}, {"proxypwchanged", 35}, {"pwnewneq", 36}, {"proxypwnewneq", 37},
    {"pwnewinv", 38}, {"proxypwnewinv", 39}, {"addrspacedirty", 40}, {"setupsurrogate", 41},
    {"systemerror", 42}, {"throttled", 43}, {"preconfail", 45}, {"nopartner", 46},
    {"connectfail", 47}, {"blocked", 48}, {"badrange", 50}, {"proxybadurl", 51},
    {"ftpauth", 52}, {"expectfailed", 53}, {"dirnobrowse", 54}, {"norep", 55},
    {"noopen", 56}, {"noaccess", 57}, {"ftpnosocket", 58}, {"ftpnoconnect", 59},
    {"ftpunrechost", 60}, {"ftpunreshost", 61}, {"ftpnoresponse", 62}, {"ftploginreq", 63},
    {"ftpnodata", 64}, {"httpunreshost", 65}, {"httpnosend", 66}, {"httpnoforward", 67},
    {"httpnodata", 68}, {"cachenotopened", 69}, {"olproxnocontact", 70},
    {"servermaperror", 71}, {"putfailed", 72}, {"deletefailed", 73}, {"nocachenoconn", 74},
    {"cacheonly", 75}, {"cachenoconn", 76}, {"cacheexp", 77}, {"scriptinterr", 78},
    {"scriptnovari", 79}, {"scriptnocomm", 80}, {"nohostheader", 81}, {"ftphpnosocket", 80},
    {"ftphpnoconnect", 83}, {"ftphpunreshost", 84}, {"ftpbad220", 85}, {"ftphpbad220", 86},
    {"ftpanonloginrej", 87}, {"ftploginrej", 88}, {"ftphpanonloginrej", 89},
    {"ftphploginrej", 90}, {"ftphpnodata", 91}, {"ftphpnoresponse", 92},
    {"hpforbidden", 93}, {"originbadresp", 94}, {"rchunkmemory", 95}, {"rchunkerror", 96},
    {"outputtimeout", 97}, {nullptr, 0},
};

extern "C" int HTStringToErrnum(const char *keyword) noexcept
{
    if (keyword == nullptr)
        return 0;
    for (const HTDetailedError *e = KnownDetailedErrors; e->keyword != nullptr; ++e)
        if (std::strcmp(e->keyword, keyword) == 0)
            return e->number;
    return 0;
}

extern "C" const char *HTErrnumToString(int n) noexcept
{
    for (const HTDetailedError *e = KnownDetailedErrors; e->keyword != nullptr; ++e)
        if (e->number == n)
            return e->keyword;
    return KnownDetailedErrors[0].keyword;
}

extern "C" void HTDetailedError_set(int number, HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g == nullptr)
        return;
    g->detailed_error = number;
    g->detailed_error_text = HTErrnumToString(number);
}

namespace {

int default_load_error(HTRequest *request, int status, const char *message, HTThdGlobals *context)
{
    (void)message;
    (void)context;
    HTStream *out = request ? request->output_stream : nullptr;
    if (out != nullptr && out->isa != nullptr && out->isa->abort != nullptr)
        out->isa->abort(out, nullptr);
    return -status;
}

int default_304_reply(HTRequest *request, HTThdGlobals *context)
{
    (void)request;
    (void)context;
    if (HT_TRACE_ON(HT_TRACE_FTP))
        tfprintf(stderr, "FTP......... Using default HTGen304Reply routine?\n");
    return -1;
}

std::atomic<HTLoadErrorHandler> loadErrorHandler{default_load_error};
std::atomic<HTGen304ReplyHandler> reply304Handler{default_304_reply};

} // namespace

extern "C" int HTLoadError(HTRequest *request, int status, const char *message,
                           HTThdGlobals *context) noexcept
{
    HTThdGlobals *g = context ? context : lib_gettp();
    if (g != nullptr && g->suppress_errors != 0)
        return 0;
    return loadErrorHandler.load(std::memory_order_acquire)(request, status, message, g);
}

extern "C" int HTLoadError_setHandler(HTLoadErrorHandler handler) noexcept
{
    loadErrorHandler.store(handler ? handler : default_load_error, std::memory_order_release);
    return 0;
}

extern "C" int HTGen304Reply(HTRequest *request, HTThdGlobals *context) noexcept
{
    return reply304Handler.load(std::memory_order_acquire)(request, context ? context : lib_gettp());
}

extern "C" int HTGen304Reply_setHandler(HTGen304ReplyHandler handler) noexcept
{
    reply304Handler.store(handler ? handler : default_304_reply, std::memory_order_release);
    return 0;
}
