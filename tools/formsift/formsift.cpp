// formsift: the driver. Reads the command line and the CGI environment, loads
// the request data into orgbuf and runs exactly one action.
//
//   formsift <ActionFlag> [SupplementFlag ...]
//
// Options are recognised by their first two characters only (-k, -kw and
// -keywords are one option); -<num> selects the n-th item.

#include "formsift.h"

#include "nls.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

const char *myname = "";
int OPTkeywords, OPTform, OPTread, OPTinit, OPTpost, OPTcount, OPTquiet;
const char *OPTvalue, *OPTsep, *OPTprefix;
int32_t OPTnth;
const char *ENVquery_string, *ENVrequest_method, *ENVcontent_length;
char *orgbuf;
std::size_t orglen;
void (*formsift_exit_hook)(int status);

namespace {

[[noreturn]] void end_process(int status)
{
    if (formsift_exit_hook != nullptr)
        formsift_exit_hook(status);
    std::exit(status);
}

constexpr const char version[] = "1.0";
constexpr int catalogue_set = 1;

const char *msg(int number, const char *dflt)
{
    return nlsGetString(NLS_ORVANEPROXY, catalogue_set, number, dflt);
}

struct Line {
    int number;
    const char *text;
};

// The groups of the usage screen after the usage line, in order. Each line is
// printed followed by " \n" and each group by one more "\n".
const Line description[] = {
    {894, "Description:"},
    {895, "  This is the formsift utility for CGI/1.0 scripts."},
    {897, "  This parses QUERY_STRING environment variable (method GET) or"},
    {898, "  standard input (method POST) and can also be used to just read "},
    {899, "  CONTENT_LENGTH characters from standard input."},
};
const Line action_heading[] = {{902, "  ActionFlag:"}};
const Line actions[] = {
    {903, "    -keywords                                             "},
    {904, "    -form  [-sep <multivalue-separator>] -prefix <prefix> "},
    {905, "    -value <fieldname> [-sep <multivalue-separator>]      "},
    {906, "    -read                                                 "},
    {907, "    -init"},
};
const Line post[] = {
    {908, "    -POST                        If this flag is specified, data comes "},
    {909, "                                 from stdin is directly decoded and    "},
    {910, "                                 parsed into shell variables, not via  "},
    {911, "                                 QUERY_STRING."},
};
const Line supplement_heading[] = {{912, "  SupplementFlag:"}};
const Line separator[] = {
    {913, "    -sep xx     with -form       Specify multi-value separator. Default"},
    {914, "                                 is \", \".   "},
    {915, "                with -value      The same, but default is newline."},
};
const Line prefix[] = {
    {917, "    -prefix xx  with -form       Set the shell variable prefix. Default"},
    {918, "                                 is FORM_ ."},
    {919, "                with -POST       The same."},
};
const Line count[] = {
    {920, "    -count      with -keywords   Output the number of keywords.        "},
    {921, "                with -form       Give the number of unique form fields "},
    {922, "                                 (multiple values counted as one).     "},
    {923, "                with -value xx   Give the number of multiple values of "},
    {924, "                                 field xx."},
};
const Line nth[] = {
    {925, "    -<num>      e.g. -2                                                "},
    {926, "                with -keyword    Give n'th keyword.                    "},
    {927, "                with -form       Give all values of n'th field.        "},
    {928, "                with -value xx   Give n'th of multi-values of field xx."},
};
const Line quiet[] = {
    {929, "    -quiet                       Suppress error messages (non-zero exit"},
    {930, "                                 status still indicates error)."},
};
const Line short_forms[] = {
    {939, "    Options have one-character equivalents:"},
    {940, "           -k -f -v -r -i -P -s -p -c -q"},
};
const Line exit_statuses[] = {
    {942, "Exit statuses:"},
    {943, "  0        Success."},
    {944, "  1        Illegal arguments."},
    {945, "  2        Environment not set correctly."},
    {946, "  3        Failed to get the information (no such field, QUERY_STRING"},
    {947, "           contains keywords when form field values requested, etc."},
};

template <std::size_t N> void append_group(std::string &screen, const Line (&group)[N])
{
    for (const Line &line : group) {
        screen += msg(line.number, line.text);
        screen += " \n";
    }
    screen += '\n';
}

// Formats one text whose single conversion is "%s".
std::string format1(const char *fmt, const char *arg)
{
    const int n = std::snprintf(nullptr, 0, fmt, arg);
    if (n < 0)
        return std::string();
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), fmt, arg);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// Options in matching order; an argument selects the first whose first two
// characters it shares.
enum class Opt { keywords, form, value, read, init, sep, prefix, count, quiet, post, none };

Opt match_option(const char *arg)
{
    static const struct {
        const char *word;
        Opt opt;
    } words[] = {
        {"-keywords", Opt::keywords}, {"-form", Opt::form},   {"-value", Opt::value},
        {"-read", Opt::read},         {"-init", Opt::init},   {"-sep", Opt::sep},
        {"-prefix", Opt::prefix},     {"-count", Opt::count}, {"-quiet", Opt::quiet},
        {"-POST", Opt::post},
    };
    for (const auto &w : words)
        if (std::strncmp(arg, w.word, 2) == 0)
            return w.opt;
    return Opt::none;
}

// The n of -<num>, saturated at INT32_MAX so that a huge n still reads as
// "not so many"; 0 when the argument is not "-" followed by digits.
int32_t parse_nth(const char *arg)
{
    if (arg[0] != '-' || !CheckNum(arg + 1))
        return 0;
    int64_t n = 0;
    for (const char *p = arg + 1; *p != '\0'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT32_MAX)
            return INT32_MAX;
    }
    return static_cast<int32_t>(n);
}

void read_options(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const Opt opt = match_option(arg);
        const char **target = nullptr;
        switch (opt) {
        case Opt::keywords: OPTkeywords = 1; break;
        case Opt::form: OPTform = 1; break;
        case Opt::read: OPTread = 1; break;
        case Opt::init: OPTinit = 1; break;
        case Opt::count: OPTcount = 1; break;
        case Opt::quiet: OPTquiet = 1; break;
        case Opt::post: OPTpost = 1; break;
        case Opt::value: target = &OPTvalue; break;
        case Opt::sep: target = &OPTsep; break;
        case Opt::prefix: target = &OPTprefix; break;
        case Opt::none: {
            const int32_t n = parse_nth(arg);
            if (n <= 0)
                Usage();
            OPTnth = n;
            break;
        }
        }
        if (target != nullptr) {
            if (i + 1 >= argc)
                Usage();
            *target = argv[++i];
        }
    }
}

// orgbuf's storage. A large body gets a mapping of its own that may use huge
// pages: faulting in thousands of 4 KiB pages costs more than decoding them.
constexpr std::size_t map_threshold = 1 << 20;
std::size_t orgbuf_mapped;  // size of the mapping, or 0 when from malloc

char *allocate_orgbuf(std::size_t size)
{
    if (size >= static_cast<std::size_t>(PTRDIFF_MAX))
        return nullptr;  // no object may be that large; also keeps size + 1 from wrapping
    if (size + 1 < map_threshold)
        return static_cast<char *>(std::malloc(size + 1));
    void *p = ::mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    ::madvise(p, size + 1, MADV_HUGEPAGE);  // only a hint
    orgbuf_mapped = size + 1;
    return static_cast<char *>(p);
}

void release_orgbuf()
{
    if (orgbuf_mapped != 0)
        ::munmap(orgbuf, orgbuf_mapped);
    else
        std::free(orgbuf);
    orgbuf = nullptr;
    orgbuf_mapped = 0;
}

// Reads exactly `length` bytes of standard input into a new orgbuf. read(2)
// rather than stdio, so that not one byte after the body is taken from the
// descriptor: a script may still want it.
void load_stdin(long length)
{
    orglen = length > 0 ? static_cast<std::size_t>(length) : 0;
    orgbuf = allocate_orgbuf(orglen);
    if (orgbuf == nullptr)
        ErrorExit(FS_ENV, "Can't allocate memory. (orgbuf)");
    std::size_t got = 0;
    while (got < orglen) {
        const ssize_t n = ::read(STDIN_FILENO, orgbuf + got, orglen - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            ErrorExit(FS_ENV, "Can't read CONTENT_LENGTH bytes from stdin.");
    }
    orgbuf[orglen] = '\0';
}

void load_query_string()
{
    orglen = std::strlen(ENVquery_string);
    orgbuf = allocate_orgbuf(orglen);
    if (orgbuf == nullptr)
        ErrorExit(FS_ENV, "Can't allocate memory. (orgbuf)");
    std::memcpy(orgbuf, ENVquery_string, orglen + 1);
}

} // namespace

bool CheckNum(const char *text)
{
    if (text == nullptr || *text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

bool CheckVarName(const char *text)
{
    // ASCII letters, digits and "_"; every other byte, 128 and above included, is refused.
    static constexpr auto allowed = [] {
        struct {
            bool ok[256] = {};
        } t;
        for (int c = 0; c < 256; ++c)
            t.ok[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        return t;
    }();
    if (text == nullptr || *text == '\0')
        return false;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (allowed.ok[*p])
        ++p;
    return *p == '\0';
}

void ErrorExit(int status, const char *message)
{
    // What an action printed before the error still goes out, in order.
    flush_output();
    release_orgbuf();
    if (message != nullptr && message[0] != '\0' && !OPTquiet) {
        std::fprintf(stderr, msg(948, "%s: Error: %s\n"), myname, message);
    }
    end_process(status);
}

void Usage()
{
    std::string screen;
    screen += format1(msg(893, "\nformsift, version %s\n\n"), version);
    screen += " \n\n";
    append_group(screen, description);
    screen += msg(900, "Usage:");
    screen += "\n    ";
    screen += myname;
    screen += msg(901, " <ActionFlag> [SupplementFlag]");
    screen += " \n\n";
    append_group(screen, action_heading);
    append_group(screen, actions);
    append_group(screen, post);
    append_group(screen, supplement_heading);
    append_group(screen, separator);
    append_group(screen, prefix);
    append_group(screen, count);
    append_group(screen, nth);
    append_group(screen, quiet);
    append_group(screen, short_forms);
    append_group(screen, exit_statuses);
    std::fwrite(screen.data(), 1, screen.size(), stderr);
    end_process(FS_ARGS);
}

int formsift_main(int argc, char **argv)
{
    if (argc > 0 && argv[0] != nullptr)
        myname = argv[0];
    if (argc < 2)
        Usage();
    read_options(argc, argv);

    if (OPTkeywords + OPTform + (OPTvalue != nullptr) + OPTread + OPTinit + OPTpost > 1)
        ErrorExit(FS_ARGS, "Only one of -k, -f, -v, -r, -i and -P can be specified at a time.");

    ENVcontent_length = std::getenv("CONTENT_LENGTH");
    ENVrequest_method = std::getenv("REQUEST_METHOD");
    ENVquery_string = std::getenv("QUERY_STRING");

    // strtol's reading of CONTENT_LENGTH: its leading decimal number.
    const long cl_value = ENVcontent_length ? std::strtol(ENVcontent_length, nullptr, 10) : 0;
    const bool cl_valid = ENVcontent_length != nullptr && CheckNum(ENVcontent_length) && cl_value != 0;
    const bool from_stdin_forced = OPTread || OPTpost;
    if (!cl_valid) {
        if (from_stdin_forced)
            ErrorExit(FS_ENV, "CONTENT_LENGTH not defined or invalid for -read/-POST.");
        if (ENVquery_string == nullptr)
            ErrorExit(FS_ENV, "Both QUERY_STRING and CONTENT_LENGTH not defined or invalid.");
    }
    if (ENVrequest_method == nullptr)
        ENVrequest_method = "UNDEFINED";

    if (ENVquery_string != nullptr && ENVquery_string[0] != '\0' && !from_stdin_forced)
        load_query_string();
    else
        load_stdin(cl_value);

    if (std::strchr(orgbuf, '=') != nullptr) {
        if (OPTkeywords)
            ErrorExit(FS_NOINFO, "QUERY_STRING/Body contains form request -- not search keywords.");
    } else if (OPTform || OPTpost || OPTvalue != nullptr) {
        ErrorExit(FS_NOINFO, "QUERY_STRING/Body contains search keywords -- not form request.");
    }

    if (OPTinit) {
        ParseInit();
    } else if (OPTread) {
        if (std::strcmp(ENVrequest_method, "GET") == 0)
            ErrorExit(FS_NOINFO, "Won't read from stdin with method GET.");
        if (std::strcmp(ENVrequest_method, "HEAD") == 0)
            ErrorExit(FS_NOINFO, "Won't read from stdin with method HEAD.");
        ParseRead();
    } else if (OPTkeywords) {
        ParseKeywords();
    } else if (OPTform || OPTpost) {
        ParseForm();
    } else if (OPTvalue != nullptr) {
        ParseValue();
    } else {
        ErrorExit(FS_ARGS, "Internal error -- seems like I have nothing to do??");
    }

    release_orgbuf();
    flush_output();
    // A write that failed anywhere (closed pipe, full disk) shows in the final flush.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        ErrorExit(FS_ENV, "Can't write to stdout.");
    return FS_OK;
}
