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

// Standard output through one large buffer: the listing of a big form is made
// of many short pieces, and stdio's per-call cost would dominate.
class Output {
public:
    void put(std::string_view s)
    {
        if (s.size() > sizeof buf_ - len_) {
            flush();
            if (s.size() >= sizeof buf_) {
                std::fwrite(s.data(), 1, s.size(), stdout);
                return;
            }
        }
        std::memcpy(buf_ + len_, s.data(), s.size());
        len_ += s.size();
    }

    void put_escaped(std::string_view s)
    {
        sh_escape_runs(s, [this](std::string_view run) { put(run); });
    }

    void put_count(std::size_t n)
    {
        char text[32];
        const int len = std::snprintf(text, sizeof text, "%zu\n", n);
        put(std::string_view(text, static_cast<std::size_t>(len)));
    }

    void flush()
    {
        if (len_ > 0)
            std::fwrite(buf_, 1, len_, stdout);
        len_ = 0;
    }

private:
    char buf_[1 << 16];
    std::size_t len_ = 0;
};

Output out;

void put(std::string_view s)
{
    out.put(s);
}

// A field of the form table: its decoded name and value, both views into
// orgbuf (the name zero-terminated there), until a second value arrives; from
// then on the value is joined[joined_at], which grows geometrically so that a
// name repeated many times costs linear time overall.
struct Field {
    const char *name;
    const char *value;
    std::size_t name_len;
    std::size_t value_len;
    int32_t joined_at = -1;

    std::string_view name_view() const { return std::string_view(name, name_len); }
};

// Open-addressing index from a decoded name to its slot in the field vector.
// Sized once for the largest possible number of fields (one per "&" plus one),
// so it never rehashes and stays at most half full.
class FieldIndex {
public:
    void size_for(std::size_t max_fields)
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
            if (fields[slot].name_view() == name)
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

// Decodes a field value in place: blanks for "+", then percent escapes (one
// pass does both).
std::string_view decode_value(char *value, std::size_t length)
{
    return std::string_view(value, static_cast<std::size_t>(HTUnEscapeSpan(value, length, 1) - value));
}

std::string_view decode_name(char *name, std::size_t length)
{
    return std::string_view(name, static_cast<std::size_t>(HTUnEscapeSpan(name, length, 0) - name));
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

void flush_output()
{
    out.flush();
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
        out.put_count(keywords.size());
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
    std::vector<std::string> joined;
    // The index numbers fields with 32 bits.
    if (max_fields >= UINT32_MAX)
        ErrorExit(FS_ENV, "Can't allocate memory. (namevec)");
    reserve_or_die(fields, max_fields, "Can't allocate memory. (namevec)");
    FieldIndex index;
    try {
        index.size_for(max_fields);
    } catch (...) {
        ErrorExit(FS_ENV, "Can't allocate memory. (valuevec)");
    }
    const std::string_view sep = OPTsep ? std::string_view(OPTsep) : std::string_view(default_form_sep);

    scan_form(orgbuf, [&](char *name, std::size_t name_len, char *value, std::size_t value_len) {
        const std::string_view n = decode_name(name, name_len);
        const std::string_view v = decode_value(value, value_len);
        uint32_t *where = nullptr;
        if (uint32_t *slot = index.find(fields, n, where)) {
            Field &f = fields[*slot];
            try {
                if (f.joined_at < 0) {
                    f.joined_at = static_cast<int32_t>(joined.size());
                    joined.emplace_back(f.value, f.value_len);
                }
                joined[f.joined_at].append(sep).append(v);
            } catch (...) {
                ErrorExit(FS_ENV, "Can't allocate memory. (newbuf)");
            }
        } else {
            *where = static_cast<uint32_t>(fields.size());
            fields.push_back(Field{n.data(), v.data(), n.size(), v.size()});
        }
        return true;
    });

    auto value_of = [&joined](const Field &f) {
        return f.joined_at < 0 ? std::string_view(f.value, f.value_len) : std::string_view(joined[f.joined_at]);
    };
    auto put_assignment = [&](const Field &f) {
        put(OPTprefix ? OPTprefix : default_prefix);
        put(f.name_view());
        put("=");
        out.put_escaped(value_of(f));
    };
    if (OPTcount) {
        out.put_count(fields.size());
    } else if (OPTnth > 0) {
        if (static_cast<std::size_t>(OPTnth) > fields.size())
            ErrorExit(FS_NOINFO, "Not so many unique form fields");
        const Field &f = fields[OPTnth - 1];
        if (!CheckVarName(f.name))
            ErrorExit(FS_NOINFO, "Invalid name found in the form field.");
        put_assignment(f);
    } else {
        bool first = true;
        for (const Field &f : fields) {
            if (!CheckVarName(f.name))
                continue;
            if (!first)
                put("; ");
            first = false;
            put_assignment(f);
        }
        put("\n");
    }
}

void ParseValue()
{
    const std::string_view wanted(OPTvalue);
    std::size_t matches = 0;
    std::size_t printed = 0;
    scan_form(orgbuf, [&](char *name, std::size_t name_len, char *value, std::size_t value_len) {
        if (decode_name(name, name_len) != wanted)
            return true;
        ++matches;
        if (OPTcount)
            return true;
        if (OPTnth > 0 && matches != static_cast<std::size_t>(OPTnth))
            return true;
        const std::string_view v = decode_value(value, value_len);
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
        out.put_count(matches);
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
    out.put_escaped(orgbuf);
    put("; export QUERY_STRING\n");
}

void ParseRead()
{
    out.put(std::string_view(orgbuf, orglen));
}
