// Fuzzes address patterns: the text up to the first line feed is the
// pattern, the rest an address to match. A pattern that parses has four
// parts of ranges within 0..255 and matches the address made of the low end
// of each part's first range.

#include "HTWild.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t nl = in.find('\n');
    const std::string ptext = in.substr(0, nl).c_str();
    const std::string addr = nl == std::string::npos ? std::string() : in.substr(nl + 1).c_str();

    char *a = new char[addr.size() + 1];
    std::memcpy(a, addr.c_str(), addr.size() + 1);
    HTRanNumPat *p = HTRanNumPat_new(ptext.c_str());
    const int r = HTRanNumPat_match(p, a);
    if (r != 0 && r != 1)
        std::abort();
    if (p != nullptr) {
        std::string low;
        int parts = 0;
        for (const HTRanNumPat *q = p; q; q = q->next, ++parts) {
            if (q->count < 1)
                std::abort();
            for (int k = 0; k < q->count; ++k)
                if (q->ranges[k].low < 0 || q->ranges[k].low > q->ranges[k].high ||
                    q->ranges[k].high > 255)
                    std::abort();
            low += (parts ? "." : "") + std::to_string(q->ranges[0].low);
        }
        if (parts != 4 || HTRanNumPat_match(p, low.c_str()) != 1)
            std::abort();
    }
    HTRanNumPat_free(p);
    delete[] a;
    return 0;
}
