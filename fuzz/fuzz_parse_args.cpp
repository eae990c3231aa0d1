// Fuzzes parse_args: at most 50 arguments, each inside the line, unused
// entries on the line's terminator, and nothing written past it.

#include "HTString.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *line = new char[size + 1];
    std::memcpy(line, data, size);
    line[size] = '\0';
    char *const end = line + std::strlen(line);
    char *args[HT_MAX_ARGS];
    const int n = parse_args(line, args);
    if (n < 0 || n > HT_MAX_ARGS)
        std::abort();
    for (int i = 0; i < HT_MAX_ARGS; ++i) {
        if (args[i] < line || args[i] > end)
            std::abort();
        if (i >= n && args[i] != end)
            std::abort();
        if (i < n && args[i] + std::strlen(args[i]) > end)
            std::abort();
    }
    delete[] line;
    return 0;
}
