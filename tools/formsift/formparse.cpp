// formparse: the five actions of formsift and the decoding they share.
//
// Keywords, names and values are views into orgbuf, decoded where they stand.
// Output goes through stdio in large blocks; values are shell-quoted straight
// into the output stream rather than copied first.

#include "formsift.h"

#include "HTParse.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char default_prefix[] = "FORM_";
constexpr const char default_form_sep[] = ", ";

// Walks the escaped form of `text` as runs of bytes handed to `emit`, so the
// allocating and the streaming escapes produce the same bytes.
template <class Emit> void sh_escape_runs(std::string_view text, Emit &&emit)
{
    emit(std::string_view("'", 1));
    while (!text.empty()) {
        const std::size_t q = text.find('\'');
        if (q == std::string_view::npos) {
            emit(text);
            break;
        }
        emit(text.substr(0, q));
        emit(std::string_view("'\\''", 4));
        text.remove_prefix(q + 1);
    }
    emit(std::string_view("'", 1));
}

void put(std::string_view s)
{
    std::fwrite(s.data(), 1, s.size(), stdout);
}

void put_count(std::size_t n)
{
    std::printf("%zu\n", n);
}

// A field of the form table. The value is a view into orgbuf until a second
// value arrives; from then on it lives in `joined`, which grows geometrically so
// that a name repeated many times costs linear time overall.
// `name` is a zero-terminated view into orgbuf.
struct Field {
    std::string_view name;
    std::string_view value;
    std::string joined;
    bool is_joined = false;

    std::string_view text() const { return is_joined ? std::string_view(joined) : value; }
};

// Open-addressing index from a decoded name to its slot in the field vector.
// Sized once for the largest possible number of fields (one per "&" plus one),
// so it never rehashes and stays at most half full.
class FieldIndex {
public:
    explicit FieldIndex(std::size_t max_fields)
    {
        std::size_t cap = 16;
        while (cap < max_fields * 2)
            cap *= 2;
        slots_.assign(cap, UINT32_MAX);
        mask_ = cap - 1;
    }

    // Returns the slot for `name`: either the existing field's index or
    // UINT32_MAX with `*where` set to the place to record a new one.
    uint32_t *find(const std::vector<Field> &fields, std::string_view name, uint32_t *&where)
    {
        std::size_t i = hash(name) & mask_;
        for (;;) {
            uint32_t &slot = slots_[i];
            if (slot == UINT32_MAX) {
                where = &slot;
                return nullptr;
            }
            if (fields[slot].name == name)
                return &slot;
            i = (i + 1) & mask_;
        }
    }

private:
    static std::size_t hash(std::string_view s)
    {
        // FNV-1a: cheap and good enough for field names.
        uint64_t h = 14695981039346656037ull;
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
        return static_cast<std::size_t>(h ^ (h >> 32));
    }

    std::vector<uint32_t> slots_;
    std::size_t mask_ = 0;
};

std::size_t count_byte(const char *s, char c)
{
    std::size_t n = 0;
    while ((s = std::strchr(s, c)) != nullptr) {
        ++n;
        ++s;
    }
    return n;
}

// Allocates a vector of `n` entries or ends the process with the given text.
template <class T> void reserve_or_die(std::vector<T> &v, std::size_t n, const char *what)
{
    try {
        v.reserve(n);
    } catch (...) {
        ErrorExit(FS_ENV, what);
    }
}

// Decodes a field value in place: blanks for "+", then percent escapes.
std::string_view decode_value(char *value)
{
    UnPlus(value);
    HTUnEscape(value);
    return std::string_view(value);
}

} // namespace

void UnPlus(char *text)
{
    if (text == nullptr)
        return;
    for (char *p = text; (p = std::strchr(p, '+')) != nullptr; ++p)
        *p = ' ';
}

std::size_t sh_escaped_length(std::string_view text)
{
    std::size_t quotes = 0;
    for (char c : text)
        quotes += (c == '\'');
    // length + 3 * quotes + 2 must not wrap on a 32-bit size_t.
    const std::size_t room = SIZE_MAX - 2;
    if (text.size() > room || quotes > (room - text.size()) / 3)
        return SIZE_MAX;
    return text.size() + 3 * quotes + 2;
}

char *sh_escape(const char *text)
{
    if (text == nullptr)
        return nullptr;
    const std::string_view in(text);
    const std::size_t len = sh_escaped_length(in);
    char *out = (len == SIZE_MAX) ? nullptr : static_cast<char *>(std::malloc(len + 1));
    if (out == nullptr)
        ErrorExit(FS_ENV, "Can't allocate memory. (escaped)");
    char *p = out;
    sh_escape_runs(in, [&p](std::string_view run) {
        std::memcpy(p, run.data(), run.size());
        p += run.size();
    });
    *p = '\0';
    return out;
}

void put_sh_escaped(std::FILE *out, std::string_view text)
{
    sh_escape_runs(text, [out](std::string_view run) { std::fwrite(run.data(), 1, run.size(), out); });
}

void ParseKeywords()
{
    std::vector<char *> keywords;
    reserve_or_die(keywords, count_byte(orgbuf, '+') + 1, "Can't allocate memory. (keywordvec)");
    for (char *p = orgbuf;;) {
        keywords.push_back(p);
        char *plus = std::strchr(p, '+');
        if (plus == nullptr)
            break;
        *plus = '\0';
        p = plus + 1;
    }
    for (char *k : keywords)
        HTUnEscape(k);

    if (OPTcount) {
        put_count(keywords.size());
    } else if (OPTnth > 0) {
        if (static_cast<std::size_t>(OPTnth) > keywords.size())
            ErrorExit(FS_NOINFO, "Not so many keywords");
        put(keywords[OPTnth - 1]);
        put("\n");
    } else {
        for (char *k : keywords) {
            put(k);
            put("\n");
        }
    }
}

void ParseForm()
{
    const std::size_t max_fields = count_byte(orgbuf, '&') + 1;
    std::vector<Field> fields;
    reserve_or_die(fields, max_fields, "Can't allocate memory. (namevec)");
    FieldIndex *index = nullptr;
    try {
        index = new FieldIndex(max_fields);
    } catch (...) {
        ErrorExit(FS_ENV, "Can't allocate memory. (valuevec)");
    }
    const std::string_view sep = OPTsep ? std::string_view(OPTsep) : std::string_view(default_form_sep);

    scan_form(orgbuf, [&](char *name, char *value) {
        const std::string_view n(HTUnEscape(name));
        const std::string_view v = decode_value(value);
        uint32_t *where = nullptr;
        if (uint32_t *slot = index->find(fields, n, where)) {
            Field &f = fields[*slot];
            try {
                if (!f.is_joined) {
                    f.joined.assign(f.value);
                    f.is_joined = true;
                }
                f.joined.append(sep).append(v);
            } catch (...) {
                ErrorExit(FS_ENV, "Can't allocate memory. (newbuf)");
            }
        } else {
            *where = static_cast<uint32_t>(fields.size());
            fields.push_back(Field{n, v, {}, false});
        }
        return true;
    });
    delete index;

    const char *prefix = OPTprefix ? OPTprefix : default_prefix;
    if (OPTcount) {
        put_count(fields.size());
    } else if (OPTnth > 0) {
        if (static_cast<std::size_t>(OPTnth) > fields.size())
            ErrorExit(FS_NOINFO, "Not so many unique form fields");
        const Field &f = fields[OPTnth - 1];
        if (!CheckVarName(f.name.data()))
            ErrorExit(FS_NOINFO, "Invalid name found in the form field.");
        put(prefix);
        put(f.name);
        put("=");
        put_sh_escaped(stdout, f.text());
    } else {
        bool first = true;
        for (const Field &f : fields) {
            if (!CheckVarName(f.name.data()))
                continue;
            if (!first)
                put("; ");
            first = false;
            put(prefix);
            put(f.name);
            put("=");
            put_sh_escaped(stdout, f.text());
        }
        put("\n");
    }
}

void ParseValue()
{
    const std::string_view wanted(OPTvalue);
    std::size_t matches = 0;
    std::size_t printed = 0;
    scan_form(orgbuf, [&](char *name, char *value) {
        if (std::string_view(HTUnEscape(name)) != wanted)
            return true;
        ++matches;
        if (OPTcount)
            return true;
        if (OPTnth > 0 && matches != static_cast<std::size_t>(OPTnth))
            return true;
        const std::string_view v = decode_value(value);
        if (OPTsep) {
            if (printed > 0)
                put(OPTsep);
            put(v);
        } else {
            put(v);
            put("\n");
        }
        ++printed;
        return OPTnth == 0;
    });

    if (OPTcount) {
        put_count(matches);
        return;
    }
    if (matches == 0)
        ErrorExit(FS_NOINFO, "No matching field name found.");
    if (OPTsep)
        put("\n");
}

void ParseInit()
{
    if (ENVquery_string != nullptr && ENVquery_string[0] != '\0')
        return;
    if (ENVcontent_length == nullptr)
        ErrorExit(FS_ENV, "CONTENT_LENGTH not defined for -init.");
    put("QUERY_STRING=");
    const std::string_view data(orgbuf);
    if (sh_escaped_length(data) == SIZE_MAX)
        ErrorExit(FS_ENV, "Can't allocate memory. (escaped)");
    put_sh_escaped(stdout, data);
    put("; export QUERY_STRING\n");
}

void ParseRead()
{
    std::fwrite(orgbuf, 1, orglen, stdout);
}
