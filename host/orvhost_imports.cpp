// The names a program with this host exports to libplugrt: the common
// library's six (checked here against the types libplugrt expects) and the
// server's own copies of the data that libplugrt also defines, which plug-ins
// must bind to.

#define HTAPI_IMPORT_TYPES_ONLY
#include "htapi_imports.h"

#include "HTExcept.h"
#include "HTParse.h"
#include "HTTCP.h"
#include "HTTrace.h"
#include "plugrt.h"

#include <cstddef>
#include <type_traits>

static_assert(std::is_same_v<decltype(HTTrace_level), plugrt_import::HTTrace_level_t>);
static_assert(std::is_same_v<decltype(HTTrace_module), plugrt_import::HTTrace_module_t>);
static_assert(std::is_same_v<decltype(HTParse_scan), plugrt_import::HTParse_scan_t<HTParseParts>>);
static_assert(std::is_same_v<decltype(HTInetString), plugrt_import::HTInetString_t>);
// Some compilers count noreturn as part of the type: a conversion checks the parameters.
[[maybe_unused]] constexpr plugrt_import::out_of_memory_t *kOutOfMemory = &out_of_memory;
static_assert(std::is_same_v<decltype(tc), plugrt_import::tc_t>);
static_assert(HT_TRACE_LEVEL_WORD == plugrt_import::kTraceLevelWord);
static_assert(HT_INET_STRING_SIZE == plugrt_import::kInetStringSize);
static_assert(sizeof(HTParseParts) == sizeof(plugrt_import::UrlParts) &&
              offsetof(HTParseParts, host) == offsetof(plugrt_import::UrlParts, host) &&
              offsetof(HTParseParts, absolute) == offsetof(plugrt_import::UrlParts, absolute) &&
              offsetof(HTParseParts, fragment) == offsetof(plugrt_import::UrlParts, fragment));

// The server's configuration record and quality-of-service key.
extern "C" {
uintptr_t HTMyStaticConfig[HT_STATIC_CONFIG_WORDS];
pthread_key_t tqos_key;
}

// The duplicate definitions above are meant (the dynamic linker binds every
// module to the program's); AddressSanitizer would report them as an ODR
// violation when libplugrt is loaded.
#if defined(__SANITIZE_ADDRESS__)
#define ORVHOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVHOST_ASAN 1
#endif
#endif
#ifdef ORVHOST_ASAN
extern "C" __attribute__((visibility("default"))) const char *__asan_default_suppressions()
{
    return "odr_violation:^HTMyStaticConfig$\nodr_violation:^tqos_key$\n";
}
#endif
