// Fuzzes the tokenisers: HTNextField, get_word and the cache-control walkers
// (chosen by the first byte) never move the cursor past the terminator and
// always make progress.

#include "HTString.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    char *(*const next[])(char **) = {HTNextField, get_word, get_cc_directive,
                                      get_cc_directive_value};
    auto *f = next[data[0] & 3];
    char *text = new char[size];
    std::memcpy(text, data + 1, size - 1);
    text[size - 1] = '\0';
    char *const end = text + std::strlen(text);
    char *cursor = text;
    for (;;) {
        char *before = cursor;
        char *item = f(&cursor);
        if (cursor < text || cursor > end)
            std::abort();
        if (item == nullptr)
            break;
        if (cursor == before || item < text || item > end)
            std::abort();
    }
    delete[] text;
    return 0;
}
