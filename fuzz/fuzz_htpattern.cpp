// Fuzzes wildcard patterns: the first byte chooses case and the escaped-URL
// matcher, the text up to the first line feed is the pattern, the rest the
// subject. A case-sensitive plain match must give the subject back when its
// captures are put into the pattern itself.

#include "HTWild.h"
#include "fuzz_context.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 4096)
        return 0;
    HTThdGlobals *ctx = fuzz_context();
    const uint8_t flags = data[0];
    const std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    const size_t nl = rest.find('\n');
    const std::string ptext = rest.substr(0, nl).c_str();
    const std::string subject = nl == std::string::npos ? std::string() : rest.substr(nl + 1).c_str();

    HTPattern *p = HTPattern_new(ptext.c_str());
    if (p == nullptr) {
        if (!ptext.empty())
            std::abort();
        return 0;
    }
    char *text = HTPattern_stringitize(p);
    std::free(text);

    // The subject in a heap block of exactly its size.
    char *s = new char[subject.size() + 1];
    std::memcpy(s, subject.c_str(), subject.size() + 1);
    const int cs = flags & 1;
    if (flags & 2) {
        HTPattern_url_matchEx(p, p, s, cs, ctx);
        HTPattern_url_match(p, nullptr, s, ctx);
    } else {
        const char *m = HTPattern_match(p, nullptr, s, cs, ctx);
        HTPatternCapture *caps = HTPattern_captures(p, s, 1, ctx);
        if (cs && (m != nullptr) != (caps != nullptr))
            std::abort();
        if (caps != nullptr) {
            if (std::strcmp(HTPattern_replace(p, caps, ctx), s) != 0)
                std::abort();
            const char *first = HTPattern_firstWild(p, s);
            if (first != nullptr && (first < s || first > s + subject.size()))
                std::abort();
        }
    }
    delete[] s;
    HTPattern_free(p);
    fuzz_context_reset(ctx);
    return 0;
}
