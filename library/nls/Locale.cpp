// Locale: the process locale, locale objects and code pages.

#include "Locale.h"

#include "HTAlloc.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <strings.h>

#include <langinfo.h>

#if HT_WITH_ICU
#include <unicode/uloc.h>
#endif

namespace {

struct CharsetRow {
    const char *charset;
    const char *locale;
};

const CharsetRow charset_table[] = {
    {"iso8859-1", "en_US"}, {"iso-8859-1", "en_US"}, {"euc-kr", "ko_KR"},
    {"shift_jis", "ja_JP"}, {"gb2312", "zh_CN"},     {"big5", "zh_TW"},
};

struct CodepageRow {
    const char *locale;
    const char *alias;
    const char *codepage;
};

const char cp850[] = "ibm-850";

const CodepageRow codepage_table[] = {
    {"en_US", "en_US", cp850},      {"es_ES", "es_ES", cp850},
    {"fr_FR", "fr_FR", cp850},      {"de_DE", "de_DE", cp850},
    {"it_IT", "it_IT", cp850},      {"pt_BR", "pt_BR", cp850},
    {"ja_JP", "ja_JP", "ibm-932"},  {"ko_KR", "ko_KR", "ksc_5601"},
    {"zh_CN", "zh_CN", "ibm-1381"}, {"zh_TW", "zh_TW", "BIG5"},
};

pthread_once_t init_once = PTHREAD_ONCE_INIT;
// The system object is never released, so it needs no heap block: a start
// that finds memory short still has it.
HTLocale system_object;
HTLocale *system_locale = nullptr;
HTLocale *default_locale = nullptr;

void set_name(HTLocale *l, const char *name)
{
    std::strncpy(l->name, name, HT_LOCALE_NAME_SIZE - 1);
    l->name[HT_LOCALE_NAME_SIZE - 1] = '\0';
}

const char *icu_default()
{
#if HT_WITH_ICU
    const char *d = uloc_getDefault();
    if (d != nullptr && *d != '\0')
        return d;
#endif
    return "en_US";
}

} // namespace

namespace {

void init_process_locale()
{
    const char *name;
    if (std::setlocale(LC_ALL, "") == nullptr) {
        name = "en_US";
        std::setlocale(LC_ALL, name);
    } else {
        name = icu_default();
    }
    const char *now = std::setlocale(LC_ALL, nullptr);
    if (now == nullptr || std::strstr(now, name) == nullptr)
        std::setlocale(LC_ALL, name);
    set_name(&system_object, name);
    system_locale = &system_object;
    default_locale = &system_object;
}

} // namespace

extern "C" void Locale_Init(void) noexcept
{
    pthread_once(&init_once, init_process_locale);
}

extern "C" HTLocale *Locale_Create(const char *name) noexcept
{
    Locale_Init();
    auto *l = static_cast<HTLocale *>(HTAlloc_calloc(1, sizeof(HTLocale)));
    if (l == nullptr)
        return nullptr;
    set_name(l, name ? name : "en_US");
    for (const CharsetRow &r : charset_table) {
        if (strcasecmp(l->name, r.charset) == 0) {
            set_name(l, r.locale);
            return l;
        }
    }
    for (const CodepageRow &r : codepage_table) {
        if (strcasecmp(l->name, r.alias) == 0 || strcasecmp(l->name, r.codepage) == 0) {
            set_name(l, r.locale);
            break;
        }
    }
    return l;
}

extern "C" HTLocale *Locale_Copy(const HTLocale *locale) noexcept
{
    Locale_Init();
    if (locale != nullptr && locale == system_locale)
        return system_locale;
    return Locale_Create(locale ? locale->name : nullptr);
}

extern "C" HTLocale *Locale_GetFromSystem(void) noexcept
{
    Locale_Init();
    return system_locale;
}

extern "C" HTLocale *Locale_GetDefault(void) noexcept
{
    Locale_Init();
    return default_locale;
}

extern "C" void Locale_SetDefault(HTLocale *locale) noexcept
{
    Locale_Init();
    default_locale = locale ? locale : system_locale;
    if (default_locale != nullptr)
        std::setlocale(LC_ALL, default_locale->name);
}

extern "C" void Locale_Destroy(HTLocale *locale) noexcept
{
    Locale_Init();
    if (locale == nullptr || locale == system_locale)
        return;
    if (locale == default_locale)
        default_locale = system_locale;
    std::memset(locale, 0xFE, sizeof(HTLocale));
    HTAlloc_free(locale);
}

extern "C" char *Locale_ToString(const HTLocale *locale, char *buffer) noexcept
{
    if (buffer == nullptr)
        return nullptr;
    Locale_Init();
    if (locale == nullptr) {
        buffer[0] = '\0';
        return buffer;
    }
    std::memcpy(buffer, locale->name, HT_LOCALE_NAME_SIZE - 1);
    buffer[HT_LOCALE_NAME_SIZE - 1] = '\0';
    return buffer;
}

extern "C" char *Locale_GetDefaultCodeset(const char *locale, char *buffer, size_t size) noexcept
{
    if (buffer == nullptr || size == 0)
        return nullptr;
    Locale_Init();
    if (locale == nullptr)
        locale = icu_default();
    const char *found = nullptr;
    size_t len = 0;
    for (const CodepageRow &r : codepage_table) {
        if (strcasecmp(locale, r.alias) == 0 || strcasecmp(locale, r.locale) == 0) {
            found = r.codepage;
            len = std::strlen(found);
            break;
        }
    }
    if (found == nullptr) {
        const char *cs = nl_langinfo(CODESET);
        if (cs != nullptr) {
            const char *colon = std::strchr(cs, ':');
            len = colon ? static_cast<size_t>(colon - cs) : std::strlen(cs);
            found = len > 0 ? cs : nullptr;
        }
    }
    if (found == nullptr) {
        found = cp850;
        len = std::strlen(found);
    }
    if (len >= size) {
        buffer[0] = '\0';
        return nullptr;
    }
    std::memcpy(buffer, found, len);
    buffer[len] = '\0';
    return buffer;
}

extern "C" int Locale_GetCodepage(const char *locale) noexcept
{
    char language[16] = "", country[16] = "";
#if HT_WITH_ICU
    UErrorCode st = U_ZERO_ERROR;
    uloc_getLanguage(locale, language, sizeof language, &st);
    if (U_FAILURE(st) || st == U_STRING_NOT_TERMINATED_WARNING)
        language[0] = '\0';
    st = U_ZERO_ERROR;
    uloc_getCountry(locale, country, sizeof country, &st);
    if (U_FAILURE(st) || st == U_STRING_NOT_TERMINATED_WARNING)
        country[0] = '\0';
#else
    // language[_COUNTRY][.codeset][@modifier]
    const char *l = locale ? locale : "en_US";
    size_t n = std::strcspn(l, "_-.@");
    if (n < sizeof language) {
        std::memcpy(language, l, n);
        language[n] = '\0';
    }
    if (l[n] == '_' || l[n] == '-') {
        const char *c = l + n + 1;
        size_t m = std::strcspn(c, "_-.@");
        if (m < sizeof country) {
            std::memcpy(country, c, m);
            country[m] = '\0';
        }
    }
    for (char *p = language; *p; ++p)
        *p = static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
    for (char *p = country; *p; ++p)
        *p = static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
#endif
    static const char *const western[] = {"de", "en", "es", "fr", "it", "pt"};
    for (const char *w : western)
        if (std::strcmp(language, w) == 0)
            return 1252;
    if (std::strcmp(language, "ja") == 0)
        return 932;
    if (std::strcmp(language, "ko") == 0)
        return 949;
    if (std::strcmp(language, "zh") == 0) {
        if (std::strcmp(country, "CN") == 0)
            return 936;
        if (std::strcmp(country, "TW") == 0)
            return 950;
    }
    return 0;
}
