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

// Hands the escaped form of `text` to emit(std::string_view) as a series of
// runs, so that it can be written without building it in memory first.
template <class Emit> void sh_escape_runs(std::string_view text, Emit &&emit);

// Writes what the actions have buffered to standard output.
void flush_output();

// Calls on_pair(name, name_length, value, value_length) for each name=value
// pair of the form data in `buf`, overwriting the "=" and "&" separators with
// zero bytes. Stops early when on_pair returns false.
template <class OnPair> void scan_form(char *buf, OnPair &&on_pair);

void ParseKeywords();
void ParseForm();
void ParseValue();
void ParseInit();
void ParseRead();

int formsift_main(int argc, char **argv);

// ---- inline implementation ------------------------------------------------

#include <cstring>

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

template <class OnPair> void scan_form(char *buf, OnPair &&on_pair)
{
    char *pos = buf;
    char *const end = buf + std::strlen(buf);
    for (;;) {
        char *eq = static_cast<char *>(std::memchr(pos, '=', static_cast<std::size_t>(end - pos)));
        if (eq == nullptr)
            return;
        *eq = '\0';
        char *value = eq + 1;
        char *amp = static_cast<char *>(std::memchr(value, '&', static_cast<std::size_t>(end - value)));
        char *value_end = amp ? amp : end;
        *value_end = '\0';
        if (!on_pair(pos, static_cast<std::size_t>(eq - pos), value, static_cast<std::size_t>(value_end - value)) ||
            amp == nullptr)
            return;
        pos = amp + 1;
    }
}

#endif
