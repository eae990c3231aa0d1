// The file loader as a client sees it, on a socket pair, and its answers
// when memory runs out part-way.

#include "HTFile.h"

#include "HTAnchor.h"
#include "HTDirBrowse.h"
#include "HTError.h"
#include "HTIcons.h"
#include "HTLoadCodes.h"
#include "HTMethod.h"
#include "dir_fixture.hpp"
#include "dir_tree.hpp"
#include "htc_oom.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Loaded {
    int result = 0;
    std::string answer;
    int client_close = 0;
};

Loaded load(const std::string &url, int method = HT_METHOD_GET)
{
    Loaded l;
    htc_as_worker([&](HTThdGlobals *g) {
        ClientEnd c(g);
        c.request.method = method;
        c.request.anchor = HTAnchor_findAddress(url.c_str(), g);
        l.result = HTLoadFile(&c.request, g);
        l.answer = c.finish();
        l.client_close = g->client_close;
    });
    return l;
}

int last_status;
int last_detail;
int record(HTRequest *, int status, const char *, HTThdGlobals *g)
{
    last_status = status;
    last_detail = g->detailed_error;
    return -status;
}

TEST(HTFile, LocalPathsOfFileUrls)
{
    ASSERT_TRUE(htc_test_start());
    struct Case {
        const char *url;
        const char *path;   // null: not a local file
    } cases[] = {
        {"file:///srv/a%20b.txt", "/srv/a b.txt"},
        {"file://localhost/x", "/x"},
        {"FILE://LOCALHOST/x", "/x"},
        {"file:/x", "/x"},
        {"file:///x?q=1#frag", "/x"},
        {"file://elsewhere/x", nullptr},
        {"file://host", nullptr},
        {"file:relative", nullptr},
        {"http://host/x", nullptr},
        {nullptr, nullptr},
    };
    htc_as_worker([&](HTThdGlobals *g) {
        for (const Case &c : cases) {
            const char *p = HTFile_localPath(c.url, g);
            if (c.path)
                EXPECT_STREQ(p, c.path) << c.url;
            else
                EXPECT_EQ(p, nullptr) << (c.url ? c.url : "(null)");
        }
    });
}

TEST(HTFile, FilesGoWithTypeEncodingAndLength)
{
    ASSERT_TRUE(htc_test_start());
    TempTree t;
    ASSERT_FALSE(t.root.empty());
    std::string big;
    for (int i = 0; i < 200000; ++i)
        big += static_cast<char>(i * 7);
    t.file("big.txt", big);
    t.file("packed.tar.gz", "GZ");
    t.file("noext", "?");
    Loaded a = load("file://" + t.path("big.txt"));
    EXPECT_EQ(a.result, HT_LOAD_OK);
    EXPECT_EQ(head_of(a.answer), "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 200000\r\n\r\n");
    EXPECT_TRUE(body_of(a.answer) == big);
    EXPECT_EQ(a.client_close, 0);

    Loaded b = load("file://" + t.path("packed.tar.gz"));
    EXPECT_EQ(b.answer, "HTTP/1.1 200 OK\r\nContent-Type: application/x-tar\r\nContent-Encoding: gzip\r\n"
                        "Content-Length: 2\r\n\r\nGZ");
    Loaded c = load("file://" + t.path("noext"));
    EXPECT_EQ(c.answer, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 1\r\n\r\n?");
    Loaded h = load("file://" + t.path("big.txt"), HT_METHOD_HEAD);
    EXPECT_EQ(h.answer, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 200000\r\n\r\n");
    EXPECT_EQ(h.client_close, 0);
}

TEST(HTFile, DirectoriesGetTheirPageAndMissingFilesAnError)
{
    ASSERT_TRUE(htc_test_start());
    TempTree t;
    ASSERT_FALSE(t.root.empty());
    t.file("one", "1");
    Loaded d = load("file://" + t.root + "/");
    EXPECT_EQ(d.result, HT_LOAD_OK);
    EXPECT_EQ(body_of(d.answer).rfind("<html>", 0), 0u);
    EXPECT_NE(d.answer.find("<a href=\"./one\">one</a>"), std::string::npos);
    EXPECT_NE(d.answer.find("1 file; 1K bytes used"), std::string::npos);

    HTLoadError_setHandler(record);
    last_status = last_detail = 0;
    Loaded m = load("file://" + t.path("missing"));
    EXPECT_EQ(m.result, -404);
    EXPECT_EQ(last_status, 404);
    EXPECT_EQ(last_detail, HT_DERR_NOTFOUND);
    last_status = 0;
    Loaded o = load("file://elsewhere.example/etc/passwd");
    EXPECT_EQ(o.result, -404);
    EXPECT_EQ(last_status, 404);
    last_status = 0;
    Loaded f = load("file:///dev/null");
    EXPECT_EQ(f.result, -403);
    EXPECT_EQ(last_detail, HT_DERR_OPENFAILED);
    HTLoadError_setHandler(nullptr);
    EXPECT_EQ(m.answer + o.answer + f.answer, "");
}

// Every allocation of a page or a file answer may fail: the client then
// gets nothing at all (and the request's error path can answer), or, in
// the last round, the whole answer once.
TEST(HTFile, OutOfMemoryAnywhereSendsAllOrNothing)
{
    ASSERT_TRUE(htc_test_start());
    TempTree t;
    ASSERT_FALSE(t.root.empty());
    t.file("README", "readme\n");
    t.file(".www_descript", "D *.txt text\n");
    for (int i = 0; i < 40; ++i)
        t.file("f" + std::to_string(i) + ".txt", std::string(static_cast<size_t>(i) * 100, 'x'));
    t.dir("d");
    for (const std::string &url : {"file://" + t.root + "/", "file://" + t.path("f39.txt")}) {
        htc_as_worker([&](HTThdGlobals *g) {
            HTStaticConfig cfg{};
            cfg.dir_flags = HT_DIR_ICONS | HT_DIR_COLUMNS;
            cfg.dir_description = 1;
            cfg.dir_max_description = 10;
            cfg.dir_readme = HT_DIR_README_TOP;
            HTAddIcon("/i/t.gif", "T", "text/*", &cfg, nullptr);
            HTAddDirIcon("/i/d.gif", "D", &cfg);
            g->config = &cfg;
            ClientEnd c(g);
            c.request.anchor = HTAnchor_findAddress(url.c_str(), g);
            int result = 0;
            HTRequest *req = &c.request;
            const unsigned long rounds = htc_each_failure(
                [&] { result = HTLoadFile(req, g); },
                [&](const HtcOomRound &round) {
                    if (round.raised)
                        return;
                    EXPECT_EQ(result, HT_LOAD_OK) << "round " << round.n;
                });
            EXPECT_GT(rounds, 1u) << url;
            const std::string &got = c.finish();
            EXPECT_EQ(got.find("HTTP/1.1 200 OK"), 0u) << url;
            EXPECT_EQ(got.find("HTTP/1.1", 1), std::string::npos) << url;   // one answer only
            g->config = nullptr;
            HTClearIcons(&cfg);
        });
    }
}

TEST(HTIcons, IconChoiceAndAdditionsUnderFailure)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        HTStaticConfig cfg{};
        g->config = &cfg;
        EXPECT_EQ(HTGetIcon(S_IFREG, nullptr, nullptr, g), nullptr);
        HTAddBlankIcon("/b.gif", "b", &cfg);
        EXPECT_EQ(HTGetIcon(S_IFREG, nullptr, nullptr, g), cfg.dir_icon_blank);   // unknown falls back to blank
        EXPECT_EQ(HTGetIcon(S_IFDIR, nullptr, nullptr, g), cfg.dir_icon_blank);
        HTAddIcon("/img.gif", "I", "image/*", &cfg, nullptr);
        HTAddIcon("/html.gif", "H", "*/html", &cfg, nullptr);
        HTAddIcon("/z.gif", "Z", "x-*", &cfg, nullptr);
        EXPECT_EQ(HTAddIcon(nullptr, "x", "y", &cfg, nullptr), -1);
        const HTDirIcon *img = cfg.dir_type_icons, *html = img->next, *z = html->next;
        EXPECT_EQ(HTGetIcon(S_IFREG, HTAtom_for("image/png"), nullptr, g), img);
        EXPECT_EQ(HTGetIcon(S_IFREG, HTAtom_for("text/html"), nullptr, g), html);
        EXPECT_EQ(HTGetIcon(S_IFREG, HTAtom_for("text/plain"), HTAtom_for("x-gzip"), g), z);
        EXPECT_EQ(HTGetIcon(S_IFREG, HTAtom_for("textonly"), nullptr, g), cfg.dir_icon_blank);
        EXPECT_EQ(HTGetIcon(S_IFIFO, HTAtom_for("image/png"), nullptr, g), cfg.dir_icon_blank);
        HTAddHref("http://v/", ".ps", &cfg, nullptr);
        EXPECT_NE(HTGetHref("paper.ps", g), nullptr);
        EXPECT_EQ(HTGetHref("paper.ps.gz", g), nullptr);
        EXPECT_EQ(HTGetHref("ps", g), nullptr);
        EXPECT_STREQ(HTFullSelfReference("h", "/p", 80, 1, g), "http://h/p");
        EXPECT_STREQ(HTFullSelfReference("h", "/p", 81, 1, g), "http://h:81/p");
        EXPECT_STREQ(HTFullSelfReference("h", "rel/p", 81, 1, g), "rel/p");
        char *heap = HTFullSelfReference("h", "/p", 0, 0, g);
        EXPECT_STREQ(heap, "http://h/p");
        HTAlloc_free(heap);

        // A failed addition leaves the chain as it was.
        int added = 0;
        htc_each_failure([&] { added = HTAddIcon("/n.gif", "N", "new/*", &cfg, nullptr); },
                         [&](const HtcOomRound &round) {
                             int n = 0;
                             for (const HTDirIcon *i = cfg.dir_type_icons; i; i = i->next)
                                 ++n;
                             EXPECT_EQ(n, round.raised ? 3 + 0 : 4) << round.n;
                             if (!round.raised) {
                                 EXPECT_EQ(added, 0);
                             }
                         });
        htc_each_failure([&] { HTAddParentIcon("/p.gif", "P", &cfg); }, [&](const HtcOomRound &) {});
        EXPECT_STREQ(HTGetParentIcon(g)->alt, "P");
        HTClearIcons(&cfg);
        EXPECT_EQ(cfg.dir_type_icons, nullptr);
        g->config = nullptr;
    });
}

} // namespace
