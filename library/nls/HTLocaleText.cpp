// HTLocaleText: case tables after the locale, numbers with catalogue separators.

#include "HTLocaleText.h"

#include "HTString.h"
#include "Locale.h"
#include "nls.h"

#include <cstring>

namespace {

unsigned long long magnitude(long long v) noexcept
{
    return v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
}

} // namespace

extern "C" void initializeCaseTables(void) noexcept
{
    Locale_GetDefault(); // sets the runtime's locale from the environment once
    HTString_buildCaseTables();
}

extern "C" char *PrettyPrintInt(int value, char *buffer) noexcept
{
    auto short_text = [](int number, const char *dflt) {
        const char *t = nlsGetString(NLS_ORVANEPROXY, 1, number, dflt);
        return (t != nullptr && std::strlen(t) <= 4) ? t : dflt;
    };
    const char *sep = short_text(1013, ",");
    char *w = buffer;
    if (value < 0) {
        const char *minus = short_text(1014, "-");
        const std::size_t n = std::strlen(minus);
        std::memcpy(w, minus, n);
        w += n;
    }
    unsigned long long v = magnitude(value);
    const unsigned long long unit[] = {1000000000ULL, 1000000ULL, 1000ULL, 1ULL};
    bool started = false;
    for (unsigned long long u : unit) {
        const unsigned group = static_cast<unsigned>(v / u);
        v %= u;
        if (!started && group == 0 && u != 1)
            continue;
        if (started) {
            const std::size_t n = std::strlen(sep);
            std::memcpy(w, sep, n);
            w += n;
            *w++ = static_cast<char>('0' + group / 100);
            *w++ = static_cast<char>('0' + group / 10 % 10);
            *w++ = static_cast<char>('0' + group % 10);
        } else {
            int len = 0;
            HTlutoa(group, w, &len);
            w += len;
            started = true;
        }
    }
    *w = '\0';
    return buffer;
}
