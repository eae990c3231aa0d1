// formsift: decodes one CGI form or keyword request for a shell script.
//
// The driver (formsift.cpp) reads the command line and the CGI environment and
// fills the process-wide state below; the actions (formparse.cpp) decode the
// request data in place and print their result on standard output. Errors end
// the process through ErrorExit with the statuses of the usage screen.
#ifndef FORMSIFT_H
#define FORMSIFT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

// Exit statuses.
enum : int {
    FS_OK = 0,
    FS_ARGS = 1,       // illegal arguments
    FS_ENV = 2,        // environment not set correctly, input or memory failure
    FS_NOINFO = 3      // failed to get the information
};

extern const char *myname;
extern int OPTkeywords, OPTform, OPTread, OPTinit, OPTpost, OPTcount, OPTquiet;
extern const char *OPTvalue, *OPTsep, *OPTprefix;
extern int32_t OPTnth;
extern const char *ENVquery_string, *ENVrequest_method, *ENVcontent_length;
extern char *orgbuf;
extern std::size_t orglen;

[[noreturn]] void ErrorExit(int status, const char *message);

// When set, ErrorExit and Usage end through this function instead of exit();
// it must not return. The fuzz target uses it to survive error paths.
extern void (*formsift_exit_hook)(int status);
[[noreturn]] void Usage();
bool CheckNum(const char *text);
bool CheckVarName(const char *text);

void UnPlus(char *text);
char *sh_escape(const char *text);

// Length of the escaped form of `text`, without the terminating zero; SIZE_MAX
// when it does not fit a size_t (the caller then treats it as an allocation
// failure).
std::size_t sh_escaped_length(std::string_view text);

// Writes the escaped form of `text` to `out` without building it in memory.
void put_sh_escaped(std::FILE *out, std::string_view text);

// Calls on_pair(name, value) for each name=value pair of the form data in
// `buf`, overwriting the "=" and "&" separators with zero bytes. Stops early
// when on_pair returns false.
template <class OnPair> void scan_form(char *buf, OnPair &&on_pair);

void ParseKeywords();
void ParseForm();
void ParseValue();
void ParseInit();
void ParseRead();

int formsift_main(int argc, char **argv);

// ---- inline implementation ------------------------------------------------

#include <cstring>

template <class OnPair> void scan_form(char *buf, OnPair &&on_pair)
{
    char *pos = buf;
    for (;;) {
        char *eq = std::strchr(pos, '=');
        if (eq == nullptr)
            return;
        *eq = '\0';
        char *value = eq + 1;
        char *amp = std::strchr(value, '&');
        if (amp != nullptr)
            *amp = '\0';
        if (!on_pair(pos, value) || amp == nullptr)
            return;
        pos = amp + 1;
    }
}

#endif
