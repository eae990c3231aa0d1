// What the host's peer suites share: starting standin-proxy (under the
// target's emulator in the cross build) from a configuration in the suite's
// temporary directory, and the small text helpers around it.
#pragma once

#include "peers.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace standin {

inline std::vector<std::string> words_of(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a shell command line; its output (both streams) and exit status.
inline std::string run(const std::string &command, int *status = nullptr)
{
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

// curl with the arguments (and a time limit); what it printed.
inline std::string curl(const std::string &args) { return run("/usr/bin/curl -s -S --max-time 30 " + args); }

// standin-proxy with `config` (ListenPort and the rest), its output in
// DIR/NAME.out; the test fails when it does not listen on `port`.
inline std::unique_ptr<peers::Peer> start(peers::TempDir &dir, const std::string &name, const std::string &config,
                                          int port)
{
    const std::string conf = dir.file(name + ".conf", config);
    std::vector<std::string> argv = words_of(HOST_EMULATOR);
    argv.push_back(STANDIN_PROXY);
    argv.push_back("--config");
    argv.push_back(conf);
    const std::string out = dir.path() + "/" + name + ".out";
    auto p = std::make_unique<peers::Peer>(argv, out, port);
    EXPECT_TRUE(p->ready(std::chrono::seconds(60))) << slurp(out);
    return p;
}

} // namespace standin
