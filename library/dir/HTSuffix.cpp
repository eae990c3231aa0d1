#include "HTSuffix.h"

#include <strings.h>

#include <cstring>

namespace {

struct Suffix {
    const char *suffix;   // without the dot
    const char *atom;
};

const Suffix kFormats[] = {
    {"html", "text/html"},
    {"htm", "text/html"},
    {"shtml", "text/html"},
    {"txt", "text/plain"},
    {"text", "text/plain"},
    {"c", "text/plain"},
    {"h", "text/plain"},
    {"cc", "text/plain"},
    {"cpp", "text/plain"},
    {"log", "text/plain"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"xml", "text/xml"},
    {"rtf", "application/rtf"},
    {"js", "application/javascript"},
    {"json", "application/json"},
    {"pdf", "application/pdf"},
    {"ps", "application/postscript"},
    {"eps", "application/postscript"},
    {"ai", "application/postscript"},
    {"doc", "application/msword"},
    {"tar", "application/x-tar"},
    {"gtar", "application/x-gtar"},
    {"zip", "application/zip"},
    {"jar", "application/java-archive"},
    {"bin", "application/octet-stream"},
    {"exe", "application/octet-stream"},
    {"gif", "image/gif"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"png", "image/png"},
    {"bmp", "image/bmp"},
    {"ico", "image/x-icon"},
    {"svg", "image/svg+xml"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"xbm", "image/x-xbitmap"},
    {"xpm", "image/x-xpixmap"},
    {"au", "audio/basic"},
    {"snd", "audio/basic"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/x-wav"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mp4", "video/mp4"},
    {"mov", "video/quicktime"},
    {"qt", "video/quicktime"},
    {"avi", "video/x-msvideo"},
};

const Suffix kEncodings[] = {
    {"gz", "x-gzip"},
    {"tgz", "x-gzip"},
    {"bz2", "x-bzip2"},
    {"xz", "x-xz"},
};

// The suffix [begin, end) names an encoding: its atom name, or null.
const char *encoding_of(const char *begin, size_t length)
{
    if (length == 1 && begin[0] == 'Z')
        return "x-compress";
    for (const Suffix &s : kEncodings)
        if (std::strlen(s.suffix) == length && strncasecmp(s.suffix, begin, length) == 0)
            return s.atom;
    return nullptr;
}

const char *format_of(const char *begin, size_t length)
{
    for (const Suffix &s : kFormats)
        if (std::strlen(s.suffix) == length && strncasecmp(s.suffix, begin, length) == 0)
            return s.atom;
    return nullptr;
}

// The last dot of [begin, end) that is not the name's first byte, or null:
// ".profile" is a name, not a suffix.
const char *last_dot(const char *begin, const char *end)
{
    for (const char *p = end; p > begin + 1;) {
        --p;
        if (*p == '.')
            return p;
    }
    return nullptr;
}

} // namespace

extern "C" int HTSuffix_lookup(const char *name, HTAtom **format, HTAtom **encoding) noexcept
{
    if (format)
        *format = nullptr;
    if (encoding)
        *encoding = nullptr;
    if (name == nullptr)
        return 0;
    const char *slash = std::strrchr(name, '/');
    const char *begin = slash ? slash + 1 : name;
    const char *end = begin + std::strlen(begin);
    const char *dot = last_dot(begin, end);
    if (dot == nullptr)
        return 0;
    const char *enc = encoding_of(dot + 1, static_cast<size_t>(end - dot - 1));
    // "archive.tgz" is a tar file in gzip.
    const char *fmt = nullptr;
    if (enc != nullptr) {
        if (strcasecmp(dot + 1, "tgz") == 0) {
            fmt = "application/x-tar";
        } else {
            const char *inner = last_dot(begin, dot);
            if (inner != nullptr)
                fmt = format_of(inner + 1, static_cast<size_t>(dot - inner - 1));
        }
    } else {
        fmt = format_of(dot + 1, static_cast<size_t>(end - dot - 1));
    }
    if (fmt == nullptr && enc == nullptr)
        return 0;
    if (format && fmt)
        *format = HTAtom_for(fmt);
    if (encoding && enc)
        *encoding = HTAtom_for(enc);
    return 1;
}

extern "C" const char *HTSuffix_contentType(const HTAtom *format) noexcept
{
    return format ? format->name : HT_SUFFIX_DEFAULT_TYPE;
}
