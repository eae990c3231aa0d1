// hostaccess: the access log, trace switches, the Via name.

#include "hostaccess.h"

#include "HTTrace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <string>

namespace {

std::mutex log_lock;
FILE *log_file = nullptr; // null: standard error
bool log_off = false;
std::string via_name = "standin-proxy";

int refuse(char *error, const char *why)
{
    std::snprintf(error, HOSTCONF_ERROR_MAX, "%s", why);
    return -1;
}

std::string value_of(const char *args)
{
    size_t n = 0;
    const char *v = hostconf_unquoted(args, &n);
    return std::string(v, n);
}

int access_log(void *, const char *args, char *error)
{
    const std::string path = value_of(args);
    if (path.empty())
        return refuse(error, "expected a path or off");
    std::lock_guard<std::mutex> hold(log_lock);
    if (path == "off") {
        log_off = true;
        return 0;
    }
    FILE *f = std::fopen(path.c_str(), "a");
    if (f == nullptr)
        return refuse(error, "the access log cannot be opened");
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = f;
    log_off = false;
    return 0;
}

int trace(void *, const char *args, char *error)
{
    const std::string v = value_of(args);
    const auto blank = v.find_first_of(" \t");
    if (blank == std::string::npos)
        return refuse(error, "expected a module name and a level");
    const std::string module = v.substr(0, blank);
    long level = 0;
    if (hostconf_number(v.c_str() + blank, 0, 255, &level, error) != 0)
        return -1;
    bool known = module == "all";
    for (int i = 0; !known && KnownModules[i].name != nullptr; ++i)
        known = strcasecmp(KnownModules[i].name, module.c_str()) == 0;
    if (!known)
        return refuse(error, "no such trace module");
    if (module == "all")
        HTTrace_setAll(static_cast<uint32_t>(level));
    else
        HTTrace_setByName(module.c_str(), static_cast<uint32_t>(level));
    return 0;
}

int via(void *, const char *args, char *error)
{
    const std::string v = value_of(args);
    if (v.empty() || v.size() > 255 || v.find_first_of(" \t\r\n,") != std::string::npos)
        return refuse(error, "expected one word");
    via_name = v;
    return 0;
}

const HostDirective kDirectives[] = {
    {"AccessLog", access_log},
    {"Trace", trace},
    {"ViaName", via},
};

} // namespace

extern "C" HostDirectiveTable hostaccess_directives(struct HTStaticConfig *config)
{
    return {kDirectives, sizeof kDirectives / sizeof kDirectives[0], config};
}

extern "C" const char *hostaccess_viaName(void) { return via_name.c_str(); }

extern "C" void hostaccess_log(uint32_t client_address, int client_port, const char *request_line, int status,
                               unsigned long bytes, unsigned long sequence, unsigned long number)
{
    char address[INET_ADDRSTRLEN] = "?";
    in_addr a{};
    a.s_addr = client_address;
    inet_ntop(AF_INET, &a, address, sizeof address);
    char stamp[40];
    const time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S +0000", &tm);
    // A request line is at most 8 KiB; control bytes never reach the log.
    char line[8192 + 512];
    int n = std::snprintf(line, sizeof line, "%s:%d [%s] \"", address, client_port, stamp);
    for (const char *p = request_line ? request_line : "-"; *p && n < 8192 + 256; ++p)
        line[n++] = static_cast<unsigned char>(*p) < ' ' || *p == '"' ? '_' : *p;
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "\" %d %lu conn=%lu req=%lu\n", status,
                       bytes, sequence, number);
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_off)
        return;
    FILE *f = log_file ? log_file : stderr;
    std::fwrite(line, 1, static_cast<size_t>(n), f);
    std::fflush(f);
}

extern "C" int hostaccess_enabled(void)
{
    std::lock_guard<std::mutex> hold(log_lock);
    return !log_off;
}

extern "C" void hostaccess_close(void)
{
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
    log_off = false;
}
