#include "HTEscHTML.h"

#include "HTMPool.h"

#include <cstring>

namespace {

const char *reference(char c)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
    }
}

} // namespace

extern "C" char *HTEscapeHTMLSpan(const char *text, size_t length, HTThdGlobals *pool) noexcept
{
    if (text == nullptr)
        return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        const char *r = reference(text[i]);
        n += r ? std::strlen(r) : 1;
    }
    auto *out = static_cast<char *>(HTMemPoolAlloc(n + 1, pool));
    char *p = out;
    for (size_t i = 0; i < length; ++i) {
        const char *r = reference(text[i]);
        if (r) {
            const size_t k = std::strlen(r);
            std::memcpy(p, r, k);
            p += k;
        } else {
            *p++ = text[i];
        }
    }
    *p = '\0';
    return out;
}

extern "C" char *HTEscapeHTML(const char *text, HTThdGlobals *pool) noexcept
{
    return text ? HTEscapeHTMLSpan(text, std::strlen(text), pool) : nullptr;
}
