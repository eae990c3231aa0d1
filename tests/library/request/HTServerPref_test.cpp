// The server-preference list of a request.

#include "HTServerPref.h"

#include "HTGlobals.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class ServerPref : public WorkerTest {
protected:
    std::vector<std::string> items()
    {
        std::vector<std::string> out;
        while (const char *item = utilServerPref_getNext(g))
            out.emplace_back(item);
        return out;
    }
};

std::string text(const char *s) { return s ? s : "NULL"; }

} // namespace

TEST_F(ServerPref, SchemeOfTheList)
{
    const struct {
        const char *list;
        const char *made;
    } cases[] = {
        {"s1:443", "https://s1:443"},
        {"s1:9443", "https://s1:9443"},
        {"s1:4433", "http://s1:4433"},
        {"s1:443 ", "http://s1:443 "}, // "443" must run to the end of the text
        {"s1", "http://s1"},
        {"s1:443 s2:443", "http://s1:443 s2:443"},
        // The rule reads the text after the list's first ':', wherever that is.
        {"s1 s2:443", "https://s1 s2:443"},
        {"https://a http://b", "https://a http://b"},
        {"a b://c", "a b://c"},
        {"", "http://"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.list);
        utilServerPref_initialize(g);
        EXPECT_EQ(utilServerPref_createList(c.list, g), 0);
        EXPECT_EQ(utilServerPref_registered(g), 1);
        EXPECT_EQ(text(utilServerPref_getList(g)), c.made);
    }
    EXPECT_EQ(utilServerPref_createList(nullptr, g), -1);
}

TEST_F(ServerPref, ItemsOneByOne)
{
    EXPECT_EQ(utilServerPref_isEmpty(g), 1);
    EXPECT_EQ(utilServerPref_getNext(g), nullptr);
    utilServerPref_createList("  s1:8080   s2  s3 ", g);
    EXPECT_EQ(utilServerPref_isEmpty(g), 0);
    utilServerPref_set(g);
    EXPECT_EQ(utilServerPref_isset(g), 1);
    EXPECT_EQ(text(utilServerPref_getNext(g)), "http://");
    EXPECT_EQ(text(utilServerPref_getNext(g)), "s1:8080");
    // While in use the list reads as it was made.
    EXPECT_EQ(text(utilServerPref_getList(g)), "http://  s1:8080   s2  s3 ");
    EXPECT_EQ(items(), (std::vector<std::string>{"s2", "s3"}));
    EXPECT_EQ(utilServerPref_isEmpty(g), 1);
    EXPECT_EQ(utilServerPref_getNext(g), nullptr);
    EXPECT_EQ(text(utilServerPref_getList(g)), "http://  s1:8080   s2  s3 ");
    utilServerPref_reset(g);
    EXPECT_EQ(utilServerPref_isset(g), 0);
    EXPECT_EQ(utilServerPref_registered(g), 0);
    EXPECT_EQ(utilServerPref_getList(g), nullptr);
}

TEST_F(ServerPref, NextUrlTakesThePathOfTheCurrentUrl)
{
    utilServerPref_createList("http://s1 http://s2:81", g);
    g->url = "http://origin.example/b/c?q=1";
    EXPECT_EQ(text(utilServerPref_getNextURL(g)), "http://s1/b/c?q=1");
    EXPECT_EQ(text(utilServerPref_getNextURL(g)), "http://s2:81/b/c?q=1");
    EXPECT_EQ(utilServerPref_getNextURL(g), nullptr);

    // Without "://" or without a path there is nothing to append to.
    for (const char *url : {"origin.example/b/c", "http://origin.example"}) {
        SCOPED_TRACE(url);
        utilServerPref_createList("s1", g);
        g->url = url;
        EXPECT_EQ(utilServerPref_getNextURL(g), nullptr);
    }
    utilServerPref_createList("s1", g);
    g->url = nullptr;
    EXPECT_EQ(utilServerPref_getNextURL(g), nullptr);
}

TEST_F(ServerPref, StateBelongsToTheRequest)
{
    utilServerPref_hostDefer(1, g);
    EXPECT_EQ(utilServerPref_isHostDeferred(g), 1);
    utilServerPref_createList("s1", g);
    EXPECT_EQ(utilServerPref_isHostDeferred(g), 1);
    utilServerPref_set(g);
    // The next request starts with nothing.
    end_request();
    EXPECT_EQ(utilServerPref_registered(g), 0);
    EXPECT_EQ(utilServerPref_isset(g), 0);
    EXPECT_EQ(utilServerPref_isHostDeferred(g), 0);
    EXPECT_EQ(utilServerPref_isEmpty(g), 1);
    utilServerPref_set(g); // no list: nothing to mark
    EXPECT_EQ(utilServerPref_isset(g), 0);
}
