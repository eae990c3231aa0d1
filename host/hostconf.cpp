// hostconf: the stand-in host's flat configuration file.

#include "hostconf.h"

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

extern "C" int hostconf_readText(const char *text, const char *name, const HostDirectiveTable *tables,
                                 size_t ntables, char error[HOSTCONF_ERROR_MAX])
{
    error[0] = '\0';
    std::istringstream in(text ? text : "");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.size() > HOSTCONF_LINE_MAX) {
            std::snprintf(error, HOSTCONF_ERROR_MAX, "%s:%d: line longer than %d bytes", name, number,
                          HOSTCONF_LINE_MAX);
            return -1;
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
            std::snprintf(error, HOSTCONF_ERROR_MAX, "%s:%d: unknown directive \"%.64s\"", name, number,
                          word.c_str());
            return -1;
        }
        char why[HOSTCONF_ERROR_MAX] = "";
        if (d->apply(target, args.c_str(), why) != 0) {
            std::snprintf(error, HOSTCONF_ERROR_MAX, "%s:%d: %s: %s", name, number, d->name,
                          why[0] ? why : "refused");
            return -1;
        }
    }
    return 0;
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
