// hostconf: the stand-in host's flat configuration file.

#include "hostconf.h"

#include "HTAlloc.h"
#include "HTString.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <strings.h>

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const HostDirective *find(const HostDirectiveTable *tables, size_t ntables, const std::string &name,
                          void **target)
{
    for (size_t t = 0; t < ntables; ++t)
        for (size_t i = 0; i < tables[t].count; ++i)
            if (strcasecmp(tables[t].directives[i].name, name.c_str()) == 0) {
                *target = tables[t].target;
                return &tables[t].directives[i];
            }
    return nullptr;
}

} // namespace

namespace {

// Reports a bad line; the first report is also the caller's error text.
void bad_line(char *error, int *bad, const char *text)
{
    if (*bad == 0)
        std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", text);
    std::fprintf(stderr, "hostconf: %s\n", text);
    ++*bad;
}

} // namespace

extern "C" int hostconf_readText(const char *text, const char *name, const HostDirectiveTable *tables,
                                 size_t ntables, char error[HOSTCONF_ERROR_MAX])
{
    error[0] = '\0';
    int bad = 0;
    char report[HOSTCONF_ERROR_MAX];
    std::istringstream in(text ? text : "");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.size() > HOSTCONF_LINE_MAX) {
            std::snprintf(report, sizeof report, "%s:%d: line longer than %d bytes", name, number,
                          HOSTCONF_LINE_MAX);
            bad_line(error, &bad, report);
            continue;
        }
        size_t b = 0;
        while (b < line.size() && blank(line[b]))
            ++b;
        size_t e = line.size();
        while (e > b && blank(line[e - 1]))
            --e;
        if (b == e || line[b] == '#')
            continue;
        size_t w = b;
        while (w < e && !blank(line[w]))
            ++w;
        const std::string word = line.substr(b, w - b);
        while (w < e && blank(line[w]))
            ++w;
        const std::string args = line.substr(w, e - w);
        void *target = nullptr;
        const HostDirective *d = find(tables, ntables, word, &target);
        if (d == nullptr) {
            std::snprintf(report, sizeof report, "%s:%d: unknown directive \"%.64s\"", name, number,
                          word.c_str());
            bad_line(error, &bad, report);
            continue;
        }
        char why[HOSTCONF_ERROR_MAX] = "";
        if (d->apply(target, args.c_str(), why) != 0) {
            std::snprintf(report, sizeof report, "%s:%d: %s: %.160s", name, number, d->name,
                          why[0] ? why : "refused");
            bad_line(error, &bad, report);
        }
    }
    return bad;
}

extern "C" int hostconf_read(const char *path, const HostDirectiveTable *tables, size_t ntables,
                             char error[HOSTCONF_ERROR_MAX])
{
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "%s: cannot be opened", path);
        return -1;
    }
    std::ostringstream all;
    all << f.rdbuf();
    return hostconf_readText(all.str().c_str(), path, tables, ntables, error);
}

namespace {

std::string unquoted(const char *args)
{
    size_t length = 0;
    const char *start = hostconf_unquoted(args, &length);
    return std::string(start, length);
}

int refuse(char *error, const char *why)
{
    std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", why);
    return -1;
}

} // namespace

extern "C" const char *hostconf_unquoted(const char *args, size_t *length)
{
    const char *v = args ? args : "";
    size_t n = std::strlen(v);
    if (n >= 2 && v[0] == '"' && v[n - 1] == '"') {
        ++v;
        n -= 2;
    }
    *length = n;
    return v;
}

extern "C" int hostconf_flag(const char *args, uintptr_t *out, char error[HOSTCONF_ERROR_MAX])
{
    const std::string v = unquoted(args);
    if (positive(v.c_str())) {
        *out = 1;
        return 0;
    }
    if (negative(v.c_str())) {
        *out = 0;
        return 0;
    }
    return refuse(error, "expected on or off");
}

extern "C" int hostconf_number(const char *args, long low, long high, long *out,
                               char error[HOSTCONF_ERROR_MAX])
{
    const std::string v = unquoted(args);
    errno = 0;
    char *end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || errno != 0 || *end != '\0' || n < low || n > high) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "expected a number from %ld to %ld", low, high);
        return -1;
    }
    *out = n;
    return 0;
}

extern "C" int hostconf_text(const char *args, char **slot, char error[HOSTCONF_ERROR_MAX])
{
    const std::string v = unquoted(args);
    if (v.empty())
        return refuse(error, "expected a value");
    char *copy = HTAlloc_strdup(v.c_str());
    if (copy == nullptr)
        return refuse(error, "out of memory");
    HTAlloc_free(*slot);
    *slot = copy;
    return 0;
}
