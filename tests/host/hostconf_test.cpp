// The flat configuration file: lines, comments, names, arguments and errors.

#include "hostconf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

int record(void *target, const char *args, char *error)
{
    if (std::strcmp(args, "refuse") == 0) {
        std::snprintf(error, HOSTCONF_ERROR_MAX, "no thanks");
        return -1;
    }
    static_cast<Calls *>(target)->push_back(args);
    return 0;
}

int record_other(void *target, const char *args, char *)
{
    static_cast<Calls *>(target)->push_back(std::string("other:") + args);
    return 0;
}

const HostDirective kOne[] = {{"alpha", record}, {"beta", record}};
const HostDirective kTwo[] = {{"gamma", record_other}};

struct Read {
    int result;
    Calls calls;
    std::string error;
};

Read read(const std::string &text)
{
    Read r{};
    Calls other;
    const HostDirectiveTable tables[] = {{kOne, 2, &r.calls}, {kTwo, 1, &r.calls}};
    char error[HOSTCONF_ERROR_MAX];
    r.result = hostconf_readText(text.c_str(), "test.conf", tables, 2, error);
    r.error = error;
    return r;
}

} // namespace

TEST(HostConf, Lines)
{
    const struct {
        const char *text;
        int result;
        Calls calls;
        const char *error;
    } cases[] = {
        {"alpha one\nbeta  two  words \n", 0, {"one", "two  words"}, ""},
        {"# a comment\n\n   \t\n  # indented comment\nALPHA x\r\n", 0, {"x"}, ""},
        {"alpha\n", 0, {""}, ""},
        {"gamma g\nalpha a", 0, {"other:g", "a"}, ""},
        // A bad line is reported and skipped; the lines after it still apply.
        {"alpha a\ndelta d\nalpha b\n", 1, {"a", "b"}, "test.conf:2: unknown directive \"delta\""},
        {"alpha a\n\nbeta refuse\nalpha c\n", 1, {"a", "c"}, "test.conf:3: beta: no thanks"},
        {"delta 1\nbeta refuse\n", 2, {}, "test.conf:1: unknown directive \"delta\""},
        {"alpha a#not a comment\n", 0, {"a#not a comment"}, ""},
        {"", 0, {}, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const Read r = read(c.text);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.calls, c.calls);
        EXPECT_EQ(r.error, c.error);
    }
}

TEST(HostConf, OverLongLineIsABadLine)
{
    const Read r = read("alpha " + std::string(HOSTCONF_LINE_MAX, 'x') + "\nalpha after\n");
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.error, "test.conf:1: line longer than 4096 bytes");
    EXPECT_EQ(r.calls, Calls{"after"});
}

TEST(HostConf, Files)
{
    char tmpl[] = "/tmp/hostconf.XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    const std::string text = "alpha from-file\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    Calls calls;
    const HostDirectiveTable table = {kOne, 2, &calls};
    char error[HOSTCONF_ERROR_MAX];
    EXPECT_EQ(hostconf_read(tmpl, &table, 1, error), 0);
    EXPECT_EQ(calls, Calls{"from-file"});
    std::remove(tmpl);
    EXPECT_EQ(hostconf_read(tmpl, &table, 1, error), -1);
    EXPECT_EQ(std::string(error), std::string(tmpl) + ": cannot be opened");
}
