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

// htcommon's functions are noexcept, which libplugrt's C view cannot say: a
// conversion to the pointer type libplugrt expects checks result and
// parameters (and would fail for any difference but the exception marker).
[[maybe_unused]] constexpr plugrt_import::HTTrace_level_t *kTraceLevel = &HTTrace_level;
[[maybe_unused]] constexpr plugrt_import::HTTrace_module_t *kTraceModule = &HTTrace_module;
[[maybe_unused]] constexpr plugrt_import::HTParse_scan_t<HTParseParts> *kParseScan = &HTParse_scan;
[[maybe_unused]] constexpr plugrt_import::HTInetString_t *kInetString = &HTInetString;
[[maybe_unused]] constexpr plugrt_import::out_of_memory_t *kOutOfMemory = &out_of_memory;
static_assert(std::is_same_v<decltype(tc), plugrt_import::tc_t>);
static_assert(HT_TRACE_LEVEL_WORD == plugrt_import::kTraceLevelWord);
static_assert(HT_INET_STRING_SIZE == plugrt_import::kInetStringSize);
static_assert(sizeof(HTParseParts) == sizeof(plugrt_import::UrlParts) &&
              offsetof(HTParseParts, host) == offsetof(plugrt_import::UrlParts, host) &&
              offsetof(HTParseParts, absolute) == offsetof(plugrt_import::UrlParts, absolute) &&
              offsetof(HTParseParts, fragment) == offsetof(plugrt_import::UrlParts, fragment));

// The server's configuration record and quality-of-service key are
// htcommon's (HTConfig.h: 125 words, as libplugrt's HT_STATIC_CONFIG_WORDS;
// HTGlobals.h): the program's copies, which the -u options of
// host/CMakeLists.txt pull in, and which libplugrt's own definitions must
// give way to.
