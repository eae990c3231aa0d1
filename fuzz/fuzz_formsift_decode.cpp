// Fuzzes formsift's request decoding: the first byte picks the action and its
// supplements, the rest is the request data as it would sit in orgbuf.

#include "formsift.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Exited {
    int status;
};

[[noreturn]] void throw_exit(int status)
{
    throw Exited{status};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        formsift_exit_hook = throw_exit;
        OPTquiet = 1;
        return std::freopen("/dev/null", "w", stdout) != nullptr;
    }();
    (void)once;
    if (size == 0)
        return 0;

    const uint8_t mode = data[0];
    OPTcount = (mode >> 3) & 1;
    OPTnth = (mode >> 4) & 3;
    OPTsep = (mode & 0x40) ? "|" : nullptr;
    OPTprefix = (mode & 0x80) ? "" : nullptr;
    OPTvalue = "a";
    ENVquery_string = nullptr;
    ENVcontent_length = "1";

    orglen = size - 1;
    orgbuf = static_cast<char *>(std::malloc(orglen + 1));
    std::memcpy(orgbuf, data + 1, orglen);
    orgbuf[orglen] = '\0';
    try {
        switch (mode & 7) {
        case 0: ParseKeywords(); break;
        case 1: ParseForm(); break;
        case 2: ParseValue(); break;
        case 3: ParseInit(); break;
        default: ParseRead(); break;
        }
    } catch (const Exited &) {
    }
    std::free(orgbuf);
    orgbuf = nullptr;
    return 0;
}
