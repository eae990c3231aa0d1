#include "smuxbridge_peers.h"

#include <cstring>
#include <vector>

int read_peers_file(std::FILE *f, const char *name, const peers_fields &fields, int *lines)
{
    std::vector<char> line(PEERS_LINE_MAX);
    int n = 0;
    while (std::fgets(line.data(), static_cast<int>(line.size()), f)) {
        ++n;
        if (line[0] == '#')
            continue;
        if (char *hash = std::strchr(line.data(), '#'))
            *hash = '\0';
        const char *tokens[PEERS_TOKENS_MAX];
        int count = 0;
        char *save = nullptr;
        for (char *t = strtok_r(line.data(), " \t\n\v\f\"", &save); t && count < PEERS_TOKENS_MAX;
             t = strtok_r(nullptr, " \t\n\v\f\"", &save))
            tokens[count++] = t;
        if (count == 0 || std::strcmp(tokens[0], name) != 0)
            continue;
        *lines = n;
        // Check both before copying either, so a refused line changes nothing.
        if ((count > 1 && std::strlen(tokens[1]) >= fields.oid_size) ||
            (count > 2 && std::strlen(tokens[2]) >= fields.pw_size))
            return PEERS_TOO_LONG;
        if (count > 1) {
            std::strcpy(fields.oid, tokens[1]);
            *fields.oid_set = true;
        }
        if (count > 2)
            std::strcpy(fields.pw, tokens[2]);
        return PEERS_MATCHED;
    }
    *lines = n;
    return PEERS_NO_MATCH;
}
