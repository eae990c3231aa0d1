// HTAAtmpl: one-star name templates of the access rules.

#include "HTAAtmpl.h"

#include "HTString.h"
#include "HTTrace.h"

#include <cstring>

namespace {

bool same(char a, char b, bool ignoreCase)
{
    return a == b || (ignoreCase && useToUpperTable(static_cast<unsigned char>(a)) ==
                                        useToUpperTable(static_cast<unsigned char>(b)));
}

int template_match(const char *tmpl, const char *name, bool ignoreCase)
{
    if (tmpl == nullptr || name == nullptr) {
        if (HT_TRACE_ON(HT_TRACE_AA)) {
            if (ignoreCase)
                tfprintf(stderr, "HTAA_templateCaseMatch: invalid param: %s is NULL!!\n",
                         name == nullptr ? "filename" : "template");
            else
                tfprintf(stderr, "HTAA_templateMatch: invalid param: %s is NULL!!\n",
                         name == nullptr ? "filename" : "template");
        }
        return 0;
    }
    const char *t = tmpl, *n = name;
    while (*t && *n && same(*t, *n, ignoreCase)) {
        ++t;
        ++n;
    }
    if (*t == '\0' && *n == '\0')
        return 1;
    if (*t != '*')
        return 0;
    // The suffix must fit in what is left of the name: "ab*b" does not
    // match "ab", and nothing is read before the name.
    const char *suffix = t + 1;
    const size_t slen = std::strlen(suffix), nlen = std::strlen(n);
    if (nlen < slen)
        return 0;
    const char *end = n + (nlen - slen);
    for (size_t i = 0; i < slen; ++i)
        if (!same(suffix[i], end[i], ignoreCase))
            return 0;
    return 1;
}

} // namespace

extern "C" int HTAA_templateMatch(const char *tmpl, const char *name) noexcept
{
    return template_match(tmpl, name, false);
}

extern "C" int HTAA_templateCaseMatch(const char *tmpl, const char *name) noexcept
{
    return template_match(tmpl, name, true);
}
