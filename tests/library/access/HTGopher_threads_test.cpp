// The Gopher loader: exact pages of menus and CSO answers written here,
// the loader against a server of the test (commands as sent, search pages,
// items, the save format, CSO answers good, failing and malformed), and
// gophernicus under socat.

#include "HTAtom.h"
#include "HTGopher.h"
#include "HTIcons.h"
#include "access_fixture.hpp"
#include "gopher_peer.hpp"
#include "htc_oom.h"
#include "peers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace access_test;

// ---- a stream that keeps what it is given ----

struct Sink {
    const HTStreamClass *isa;
    std::string *text;
    int freed;
};
int sink_write(HTStream *me, const char *d, int n)
{
    reinterpret_cast<Sink *>(me)->text->append(d, static_cast<size_t>(n));
    return 0;
}
int sink_string(HTStream *me, const char *t) { return sink_write(me, t, static_cast<int>(std::strlen(t))); }
int sink_char(HTStream *me, int c)
{
    const char ch = static_cast<char>(c);
    return sink_write(me, &ch, 1);
}
int sink_free(HTStream *me, void *)
{
    ++reinterpret_cast<Sink *>(me)->freed;
    return 0;
}
const HTStreamClass kSinkClass = {"TestSink", sink_free, sink_free, sink_char, sink_string, sink_write,
                                  nullptr,    nullptr,   nullptr};

class GopherPages : public WorkerTest {
protected:
    std::string menu(const std::string &answer, const char *title = nullptr, bool save = false)
    {
        std::string out;
        Sink s{&kSinkClass, &out, 0};
        HTAnchor *a = HTAnchor_findAddress("gopher://h/1", g);
        if (title)
            HTAnchor_setTitle(a, title);
        HTGopher__menuText(answer.data(), answer.size(), a, reinterpret_cast<HTStream *>(&s), save, g);
        EXPECT_EQ(s.freed, 1);
        return out;
    }
    std::string cso(const std::string &answer, bool save = false)
    {
        std::string out;
        Sink s{&kSinkClass, &out, 0};
        HTGopher__csoText(answer.data(), answer.size(), reinterpret_cast<HTStream *>(&s), save, g);
        EXPECT_EQ(s.freed, 1);
        return out;
    }
};

const std::string kHead = "<h2>Gopher Menu</h2><hr><pre>";

TEST_F(GopherPages, MenusAsHtml)
{
    const std::string longInfo = "i" + std::string(2000, 'x') + "\tsel\th\t1\n";
    struct Case {
        const char *name;
        std::string answer;
        std::string page; // between the frame's head and "</pre>"
    } cases[] = {
        {"a CR LF menu: every field clean", "0About\t/about\thost\t70\r\n1Dir\t/d\thost\t7070\r\n.\r\n",
         "<a href=\"//host:70/0/about\" TITLE=\"About\">About</a>\n<a href=\"//host:7070/1/d\" TITLE=\"Dir\">Dir</a>\n"},
        {"port 0 is dropped", "1Dir\tsel\thost\t0\r\n", "<a href=\"//host/1sel\" TITLE=\"Dir\">Dir</a>\n"},
        {"markup in names and selectors", "0<b>x</b> & \"q\"\t/a\"b<'\thost\"<\t70\n",
         "<a href=\"//host%22%3c:70/0/a%22b%3c%27\" TITLE=\"&lt;b&gt;x&lt;/b&gt; &amp; &quot;q&quot;\">"
         "&lt;b&gt;x&lt;/b&gt; &amp; &quot;q&quot;</a>\n"},
        {"information and error lines are text", "iHello <there>\tfake\tnull.host\t1\r\n3Oops\t\terror.host\t1\r\n"
                                                 "0Gone\t\terror.host\t1\r\n",
         "Hello &lt;there&gt;\nOops\nGone\n"},
        {"a line that is no item", "no tabs <here>\r\nA\tB\\c\n", "no tabs &lt;here&gt;\nA\tB\\c\n"},
        {"telnet and tn3270", "8Tel\tuser\thost\t23\n8Open\t\thost\t23\nTBig\tme\tibm\t0\n",
         "<a href=\"telnet://user@host:23/\" TITLE=\"Tel\">Tel</a>\n<a href=\"telnet://host:23/\" TITLE=\"Open\">Open</a>\n"
         "<a href=\"tn3270://me@ibm/\" TITLE=\"Big\">Big</a>\n"},
        {"a w entry links its selector, with no line break", "wWeb\thttp://x/\"y z\thost\t70\n",
         "<a href=\"http://x/%22y%20z\" TITLE=\"Web\">Web</a>"},
        {"the first backslash of a selector", "0A\tdir\\f\\g\th\t70\n", "<a href=\"//h:70/0dir/f%5cg\" TITLE=\"A\">A</a>\n"},
        {"selector bytes outside the set", "9Bin\t/a b%~:\xe9\th\t70\n",
         "<a href=\"//h:70/9/a%20b%25%7e%3a%e9\" TITLE=\"Bin\">Bin</a>\n"},
        {"a line of dot ends the menu", "iA\t\tx\t1\n.\niB\t\tx\t1\n", "A\n"},
        {"the byte 0xFF ends the menu", "iA\t\tx\t1\n\xffiB\t\tx\t1\n", "A\n"},
        {"the last line needs no LF", "iA\t\tx\t1", "A\n"},
        {"a long line keeps overwriting its last byte", longInfo, {}},
        {"further fields are ignored", "0A\ts\th\t70\t+\textra\n", "<a href=\"//h:70/0s\" TITLE=\"A\">A</a>\n"},
        {"unknown types and the empty line", "zOdd\ts\th\t70\n\n", "<a href=\"//h:70/zs\" TITLE=\"Odd\">Odd</a>\n\n"},
        {"a type byte outside the set", "\"Q\ts\th\t70\n", "<a href=\"//h:70/%22s\" TITLE=\"Q\">Q</a>\n"},
    };
    // The long line, no item: "i", 1029 x, then every later byte in the last place (the last is '1').
    cases[12].page = "i" + std::string(1029, 'x') + "1\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(menu(c.answer), kHead + c.page + "</pre>");
    }
    EXPECT_EQ(menu("iA\t\tx\t1\n", "T<i>"), "<h1>T&lt;i&gt;</h1><pre>A\n</pre>");
    EXPECT_EQ(menu(""), kHead + "</pre>");
}

TEST_F(GopherPages, IconsOfTheConfiguration)
{
    HTStaticConfig cfg{};
    cfg.proxy_host_name = const_cast<char *>("proxy.test");
    cfg.proxy_port = 8080;
    HTAddDirIcon("/icons/menu.gif", "[DIR]", &cfg);
    HTAddUnknownIcon("/icons/unknown.gif", "[?]", &cfg);
    HTAddIcon("/icons/text.gif", "[TXT]", "text/*", &cfg, nullptr);
    HTAddIcon("/icons/\"odd\".gif", "[IMG]", "image/*", &cfg, nullptr);
    g->config = &cfg;
    const std::string page = menu("0About\t/a\th\t70\n1Dir\t/d\th\t70\n9Bin\t/b\th\t70\ngPic\t/p\th\t70\n");
    g->config = nullptr;
    HTClearIcons(&cfg);
    EXPECT_EQ(page, kHead +
                        "<a href=\"//h:70/0/a\" TITLE=\"About\"><img src=\"http://proxy.test:8080/icons/text.gif\" "
                        "alt=\"[ FILE ] \" hspace=5 border=0>About</a>\n"
                        "<a href=\"//h:70/1/d\" TITLE=\"Dir\"><img src=\"http://proxy.test:8080/icons/menu.gif\" "
                        "alt=\" [ DIR ] \" hspace=5 border=0>Dir</a>\n"
                        "<a href=\"//h:70/9/b\" TITLE=\"Bin\"><img src=\"http://proxy.test:8080/icons/unknown.gif\" "
                        "alt=\" [ BIN ] \" hspace=5 border=0>Bin</a>\n"
                        "<a href=\"//h:70/g/p\" TITLE=\"Pic\"><img src=\"http://proxy.test:8080/icons/&quot;odd&quot;.gif\" "
                        "alt=\" [ IMG ] \" hspace=5 border=0>Pic</a>\n</pre>");
}

TEST_F(GopherPages, MenusAsPlainText)
{
    EXPECT_EQ(menu("iHello\tf\tnull.host\t1\r\n0About <a>\t/about\thost\t70\r\n1Top\t\thost\t0\r\n"
                   "8Tel\tu\th\t23\r\nwWeb\thttp://x/\th\t70\r\nbad line\r\n.\r\n",
                   nullptr, true),
              "Gopher Menu\n\nHello\n[ FILE ] About <a> gopher://host:70/0/about\n [ DIR ] Top gopher://host/1\n"
              " [ TEL ] Tel telnet://u@h:23/\n[ FILE ] Web http://x/\nbad line\n");
    EXPECT_EQ(menu("", "Title", true), "Title\n\n");
}

TEST_F(GopherPages, CsoAnswers)
{
    const std::string frame = "<h1>CSO Search Results</h1><pre>";
    struct Case {
        const char *name;
        std::string answer;
        std::string page;
    } cases[] = {
        {"records with headings", "102:2 matches:\r\n-200:1:name:Ann <A>\r\n-200:1:email:a&b@x\r\n-200:2:name:Bob\r\n200:Ok.\r\n",
         "</pre><h2>name:Ann &lt;A&gt;</h2><pre>\nemail:a&amp;b@x\n</pre><h2>name:Bob</h2><pre>\n"},
        {"an error ends the answer", "501:No matches to <your> query.\r\n-200:1:name:never\r\n",
         "<h2>No matches to &lt;your&gt; query.</h2>"},
        {"malformed lines are skipped", "5\r\n5012\r\n-200 no colon\r\n-200:one only\r\ngarbage\r\n-200:1:x:y\r\n",
         "</pre><h2>x:y</h2><pre>\n"},
        {"the answer may end without its 200", "-200:7:a:b", "</pre><h2>a:b</h2><pre>\n"},
        {"nothing after 2xx", "200:Ok.\r\n-200:1:a:b\r\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cso(c.answer), frame + c.page + "\n</pre>\n");
    }
    EXPECT_EQ(cso("-200:1:name:Ann\r\n-200:1:email:a@x\r\n-200:2:name:Bob\r\n501:Bad\r\n", true),
              "CSO Search Results\n\nname:Ann\nemail:a@x\n\nname:Bob\nBad\n");
}

TEST_F(GopherPages, AllocationFailures)
{
    std::string answer;
    for (int i = 0; i < 200; ++i)
        answer += "0Item " + std::to_string(i) + "\t/sel/" + std::string(40, 'a' + i % 26) + "\th\t70\r\n";
    const std::string whole = menu(answer);
    std::string out;
    Sink s{&kSinkClass, &out, 0};
    // No anchor: each round's end releases the pool.
    const unsigned long rounds = htc_each_failure(
        [&] { HTGopher__menuText(answer.data(), answer.size(), nullptr, reinterpret_cast<HTStream *>(&s), 0, g); },
        [&](const HtcOomRound &round) {
            if (!round.raised) {
                EXPECT_EQ(out, whole) << round.n;
            }
            out.clear();
            end_request();
        });
    EXPECT_GT(rounds, 0u);
}

TEST_F(GopherPages, TablesOfTypesAndAcceptableBytes)
{
    EXPECT_STREQ(HTGopher_itemType('0')->label, "[ FILE ] ");
    EXPECT_STREQ(HTGopher_itemType('P')->label, " [ PDF ]");
    EXPECT_STREQ(HTGopher_itemType('w')->icon, "gopher-text");
    EXPECT_STREQ(HTGopher_itemType('I')->content_type, "image/gif");
    EXPECT_STREQ(HTGopher_itemType('q')->icon, "gopher-unknown");
    EXPECT_EQ(HTGopher_itemType('1')->content_type, nullptr);
    std::string kept;
    for (int c = 0; c < 256; ++c)
        if (HTGopher_acceptable(c))
            kept += static_cast<char>(c);
    EXPECT_EQ(kept, "$-./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(HTGopher_acceptable(-1), 0);
    EXPECT_EQ(HTGopher_acceptable(256), 0);
}

// ---- a Gopher server of the test: one command a connection ----

class Server {
public:
    using Answer = std::function<std::string(const std::string &command)>;
    explicit Server(Answer answer) : answer_(std::move(answer))
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = accept(fd_, nullptr, nullptr);
                if (c < 0)
                    return;
                timeval tv{5, 0};
                setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                std::string cmd;
                char ch;
                while (cmd.find("\r\n") == std::string::npos && recv(c, &ch, 1, 0) == 1)
                    cmd += ch;
                {
                    std::lock_guard<std::mutex> l(m_);
                    commands_.push_back(cmd);
                }
                const std::string out = answer_(cmd);
                send(c, out.data(), out.size(), MSG_NOSIGNAL);
                shutdown(c, SHUT_RDWR);
                close(c);
            }
        });
    }
    ~Server()
    {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<std::string> commands()
    {
        std::lock_guard<std::mutex> l(m_);
        return commands_;
    }

private:
    Answer answer_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> commands_;
};

class GopherLoader : public AccessFixture {
protected:
    std::string url(int port, const std::string &path) const
    {
        return "gopher://127.0.0.1:" + std::to_string(port) + path;
    }
    static std::function<void(HTRequest *)> saving()
    {
        return [](HTRequest *r) { r->output_format = HTAtom_for("www/save"); };
    }
};

TEST_F(GopherLoader, CommandsAsTheServerGetsThem)
{
    Server s([](const std::string &) { return std::string("plain text\r\n"); });
    struct Case {
        std::string path;
        std::string command;
    } cases[] = {
        {"/0/about%20it%2fx", "/about it/x\r\n"},
        {"", "\r\n"},
        {"/", "\r\n"},
        {"/7/find%20me?a+b%20c", "/find me\ta b%20c\r\n"},
        {"/2?name+ann", "query name ann\r\n"},
        {"/0abc%4", "abc\r\n"},
        {"/0abc%", "abc\r\n"},
        {"/0a%zzb", std::string("a\0b\r\n", 5)},
        {"/0x%41%4a%4A", "xAJJ\r\n"},
    };
    for (const Case &c : cases) {
        const Result r = load("GET", url(s.port(), c.path));
        EXPECT_EQ(r.rc, HT_ACCESS_DONE) << c.path;
    }
    const auto got = s.commands();
    ASSERT_EQ(got.size(), sizeof cases / sizeof cases[0]);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], cases[i].command) << cases[i].path;
}

TEST_F(GopherLoader, ItemsMenusAndCsoThroughTheLoader)
{
    Server s([](const std::string &cmd) -> std::string {
        if (cmd.rfind("query ", 0) == 0)
            return cmd.find("nobody") != std::string::npos ? "501:No matches.\r\n"
                                                           : "-200:1:name:Ann\r\n-200:1:phone:<1>\r\n200:Ok.\r\n";
        if (cmd == "/menu\r\n" || cmd.find('\t') != std::string::npos)
            return "0A\t/a\t127.0.0.1\t70\r\n.\r\n";
        return "GIF89a\x01\x02";
    });
    struct Case {
        std::string path;
        std::string type;
        std::string body;
    } cases[] = {
        {"/1/menu", "text/html", kHead + "<a href=\"//127.0.0.1:70/0/a\" TITLE=\"A\">A</a>\n</pre>"},
        {"/7/menu?x", "text/html", kHead + "<a href=\"//127.0.0.1:70/0/a\" TITLE=\"A\">A</a>\n</pre>"},
        {"/2?ann", "text/html",
         "<h1>CSO Search Results</h1><pre></pre><h2>name:Ann</h2><pre>\nphone:&lt;1&gt;\n\n</pre>\n"},
        {"/2?nobody", "text/html", "<h1>CSO Search Results</h1><pre><h2>No matches.</h2>\n</pre>\n"},
        {"/g/pic", "image/gif", "GIF89a\x01\x02"},
        {"/0/t", "text/plain", "GIF89a\x01\x02"},
        {"/I/x.gif", "image/gif", "GIF89a\x01\x02"},
        {"/9/file", "application/octet-stream", "GIF89a\x01\x02"},
        {"/h/p", "text/html", "GIF89a\x01\x02"},
        {"/s/p", "audio/basic", "GIF89a\x01\x02"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const Result r = load("GET", url(s.port(), c.path));
        EXPECT_EQ(r.rc, HT_ACCESS_DONE);
        EXPECT_EQ(r.client.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << r.client;
        EXPECT_NE(r.client.find("\r\nContent-Type: " + c.type + "\r\n"), std::string::npos) << r.client;
        EXPECT_EQ(body_of(r.client), c.body);
    }
    // The save format: plain text.
    const Result r = load("GET", url(s.port(), "/1/menu"), {}, Call::kDocument, {}, saving());
    EXPECT_NE(r.client.find("Content-Type: text/plain\r\n"), std::string::npos) << r.client;
    EXPECT_EQ(body_of(r.client), "Gopher Menu\n\n[ FILE ] A gopher://127.0.0.1:70/0/a\n");
}

TEST_F(GopherLoader, SearchPagesAndFailures)
{
    // No query: a page of its own, and no connection (nothing listens there).
    const int closed = peers::free_port();
    const std::string a7 = url(closed, "/7/find\"<x>");
    Result r = load("GET", a7);
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    EXPECT_EQ(body_of(r.client), "<h1>gopher://127.0.0.1:" + std::to_string(closed) +
                                     "/7/find&quot;&lt;x&gt; index</h1><isindex>\nThis is a searchable Gopher index."
                                     " Please enter keywords to search for.\n");
    r = load("GET", url(closed, "/2?"));
    EXPECT_EQ(body_of(r.client),
              "<h1>gopher://127.0.0.1:" + std::to_string(closed) +
                  "/2? index</h1><isindex>\nThis is a searchable index of a CSO database.\n Please enter keywords to "
                  "search for. The keywords that you enter will allow you to search on a person's name in the "
                  "database.\n");
    r = load("GET", url(closed, "/7/s"), {}, Call::kDocument, {}, saving());
    EXPECT_EQ(body_of(r.client), url(closed, "/7/s") +
                                     " index\nThis is a searchable Gopher index. Please enter keywords to search for.\n");
    r = load("GET", url(closed, "/2"), {}, Call::kLoad, {}, saving());
    EXPECT_EQ(r.rc, HT_LOAD_EMPTY_URL);
    EXPECT_EQ(r.error_code, HT_ERR_NO_SAVE);

    // A refused connection: -errno, the errno as the error code, and no page of the loader's.
    r = load("GET", url(closed, "/1/x"), {}, Call::kLoad);
    EXPECT_EQ(r.rc, -ECONNREFUSED);
    EXPECT_EQ(r.error_code, ECONNREFUSED);
    EXPECT_EQ(r.page.calls, 0);
    r = load("GET", "gopher://no-such-host.invalid/1/x", {}, Call::kLoad);
    EXPECT_EQ(r.rc, -1);

    // No physical address, or an empty one.
    HTRequest *request = HTRequest_new(g);
    request->anchor = HTAnchor_findAddress("gopher://h/", g);
    EXPECT_EQ(HTLoadGopher(request, g), HT_LOAD_NO_URL);
    EXPECT_EQ(request->error_code, HT_ERR_BAD_URL);
    HTAnchor_setPhysical(request->anchor, "");
    EXPECT_EQ(HTLoadGopher(request, g), HT_LOAD_EMPTY_URL);
    EXPECT_EQ(request->error_code, HT_ERR_EMPTY_URL);
    HTRequest_delete(request);
}

// ---- gophernicus, a process per connection under socat ----

TEST_F(GopherLoader, AgainstGophernicus)
{
    if (!gopher_peer::available())
        GTEST_SKIP() << "gophernicus or socat is not installed";
    peers::TempDir dir;
    const std::string root = dir.dir("root", 0755);
    dir.dir("root/cgi-bin", 0755);
    dir.dir("root/sub", 0755);
    const int port = peers::free_port();
    const std::string p = std::to_string(port);
    std::string map = "iWelcome <b>bold</b> & \"q\"\tfake\tnull.host\t1\n";
    // gophernicus keeps every type of RFC 1436 and the common additions but ':' (which it drops).
    for (const char *t : {"0", "1", "2", "4", "5", "6", "8", "9", "g", "I", "T", ";", "P", "h", "s", "d"})
        map += std::string(t) + "Item " + t + "\t/sel" + t + "\t127.0.0.1\t" + p + "\n";
    map += "1Port zero\t/sub\t127.0.0.1\t0\n3An error line\t\terror.host\t1\n7Search me\t/cgi-bin/search\t127.0.0.1\t" + p +
           "\n0About\t/about.txt\t127.0.0.1\t" + p + "\n";
    dir.file("root/gophermap", map);
    dir.file("root/about.txt", "about <text>\n");
    dir.file("root/sub/gophermap", "iIn sub\tfake\tnull.host\t1\n");
    dir.file("root/cgi-bin/search", "#!/bin/sh\necho \"iYou searched: $SEARCHREQUEST\tfake\tnull.host\t1\"\n", 0755);
    const auto server = gopher_peer::start(root, port, dir.path() + "/socat.out");
    ASSERT_NE(server, nullptr) << "socat did not start";

    Result r = load("GET", url(port, "/"));
    EXPECT_EQ(r.rc, HT_ACCESS_DONE);
    const std::string page = body_of(r.client);
    std::string expected = kHead + "Welcome &lt;b&gt;bold&lt;/b&gt; &amp; &quot;q&quot;\n";
    for (const char *t : {"0", "1", "2", "4", "5", "6", "8", "9", "g", "I", "T", ";", "P", "h", "s", "d"}) {
        const std::string type = t;
        const std::string escaped = type == ";" ? "%3b" : type;
        std::string link = "//127.0.0.1:" + p + "/" + escaped + "/sel" + escaped;
        if (type == "8")
            link = "telnet:///sel8@127.0.0.1:" + p + "/";
        if (type == "T")
            link = "tn3270:///selT@127.0.0.1:" + p + "/";
        expected += "<a href=\"" + link + "\" TITLE=\"Item " + type + "\">Item " + type + "</a>\n";
    }
    expected += "<a href=\"//127.0.0.1/1/sub\" TITLE=\"Port zero\">Port zero</a>\nAn error line\n"
                "<a href=\"//127.0.0.1:" + p + "/7/cgi-bin/search\" TITLE=\"Search me\">Search me</a>\n"
                "<a href=\"//127.0.0.1:" + p + "/0/about.txt\" TITLE=\"About\">About</a>\n</pre>";
    EXPECT_EQ(page, expected);

    r = load("GET", url(port, "/1/sub"));
    EXPECT_EQ(body_of(r.client), kHead + "In sub\n</pre>");
    r = load("GET", url(port, "/7/cgi-bin/search?ann+lee"));
    EXPECT_EQ(body_of(r.client), kHead + "You searched: ann lee\n</pre>");
    r = load("GET", url(port, "/0/about.txt"));
    EXPECT_NE(r.client.find("Content-Type: text/plain\r\n"), std::string::npos) << r.client;
    EXPECT_EQ(body_of(r.client), "about <text>\r\n");
    // A missing menu: the server's type-3 line, as text.
    r = load("GET", url(port, "/1/missing"));
    EXPECT_EQ(body_of(r.client).rfind(kHead + "Error: File or directory not found!", 0), 0u) << r.client;
    EXPECT_EQ(body_of(r.client).find("<a "), std::string::npos);
}

} // namespace
