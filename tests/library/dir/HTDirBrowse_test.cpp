// Directory pages: sizes, permissions and the entries' order, and whole
// pages of real directories, byte for byte.

#include "HTDirBrowse.h"

#include "HTAnchor.h"
#include "HTError.h"
#include "HTIcons.h"
#include "HTLoadCodes.h"
#include "dir_fixture.hpp"
#include "dir_tree.hpp"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct SizeCase {
    long long bytes;
    bool exact;
    const char *field;   // in an 8-character field
};

TEST(HTDirSize, FieldsForEveryRange)
{
    ASSERT_TRUE(htc_test_start());
    const SizeCase cases[] = {
        {0, false, "      0K"},
        {1, false, "      1K"},
        {999, false, "      1K"},
        {1000, false, "      1K"},
        {1536, false, "      2K"},
        {1023999, false, "    1.0M"},
        {1048576, false, "    1.1M"},       // the 0.05 is added before the rounding
        {20971520, false, "     20M"},
        {5000000000LL, false, "    4.7G"},
        {20LL << 30, false, "     20G"},
        {LLONG_MAX, false, "8589934592G"}, // wider than the field, never cut or wrapped
        {-5, false, "      0K"},
        {512, true, "     512"},
        {0, true, "       0"},
        {1536, true, "      2K"},
    };
    htc_as_worker([&](HTThdGlobals *g) {
        HTStaticConfig cfg{};
        g->config = &cfg;
        for (const SizeCase &c : cases) {
            cfg.dir_exact_bytes = c.exact;
            char buf[HT_DIR_SIZE_BUFFER];
            EXPECT_STREQ(HTDirSize(c.bytes, buf, HT_DIR_SIZE_FIELD, g), c.field) << c.bytes;
        }
        char buf[HT_DIR_SIZE_BUFFER];
        EXPECT_STREQ(HTDirSizeK(buf, 998.9), "  999K");
        EXPECT_STREQ(HTDirSizeK(buf, 999.4), "  1.0M");
        EXPECT_STREQ(HTDirSizeK(buf, 999.1 * 1024), "  999M");
        EXPECT_STREQ(HTDirSize(1536, buf, 1000, g), std::string(HT_DIR_SIZE_MAX_WIDTH - 6, ' ').append("    2K").c_str());
    });
}

struct PermCase {
    unsigned mode;
    const char *text;
};

TEST(FilePerm, TypesAndSpecialBits)
{
    const PermCase cases[] = {
        {S_IFREG | 0644, "-rw-r--r--"},
        {S_IFDIR | 0755, "drwxr-xr-x"},
        {S_IFLNK | 0777, "lrwxrwxrwx"},
        {S_IFIFO | 0600, "?rw-------"},
        {S_IFREG | S_ISUID | 0755, "-rwsr-xr-x"},
        {S_IFREG | S_ISUID | 0644, "-rwSr--r--"},
        {S_IFREG | S_ISGID | 0750, "-rwxr-s---"},
        {S_IFREG | S_ISGID | 0740, "-rwxr-S---"},
        {S_IFDIR | S_ISVTX | 0777, "drwxrwxrwt"},
        {S_IFDIR | S_ISVTX | 0776, "drwxrwxrwT"},
    };
    for (const PermCase &c : cases) {
        char buf[HT_DIR_PERM_BUFFER];
        EXPECT_STREQ(FilePerm2(c.mode, buf), c.text) << std::oct << c.mode;
    }
    char buf[HT_DIR_PERM_BUFFER];
    EXPECT_STREQ(FilePerm(S_IFREG | 0754, 1, buf), "-rwx");
    EXPECT_STREQ(FilePerm(S_IFREG | 0754, 6, buf), "-r-xr--");
    EXPECT_STREQ(FilePerm(S_IFDIR | 0754, 0, buf), "d");
}

std::vector<std::string> order(HTDirTree *t)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < t->count; ++i)
        names.push_back(t->entries[i]->name);
    return names;
}

TEST(HTDirTree, OrdersAsTheComparatorsSay)
{
    ASSERT_TRUE(htc_test_start());
    htc_as_worker([](HTThdGlobals *g) {
        // Keys far apart: a subtraction would wrap and turn the order round.
        EXPECT_EQ(HTDirLintCmp(&(const long long &)LLONG_MIN, &(const long long &)LLONG_MAX), 1);
        const long long lo = LLONG_MIN, hi = LLONG_MAX, same = 7;
        EXPECT_EQ(HTDirLintCmp(&hi, &lo), -1);
        EXPECT_EQ(HTDirLintCmp(&same, &same), 0);

        const char *names[] = {"b", "A", "c", "a", "B"};
        HTDirEntry e[5]{};
        HTDirTree *byName = HTDirTree_new(HTDirStrCaseCmp, g);
        HTDirTree *caseName = HTDirTree_new(HTDirStrCmp, g);
        for (int i = 0; i < 5; ++i) {
            e[i].name = const_cast<char *>(names[i]);
            e[i].key = names[i];
            HTDirTree_add(byName, &e[i], g);
            HTDirTree_add(caseName, &e[i], g);
        }
        HTDirTree_sort(byName, g);
        HTDirTree_sort(caseName, g);
        // Descending; names equal but for case stay in arrival order.
        EXPECT_EQ(order(byName), (std::vector<std::string>{"c", "b", "B", "A", "a"}));
        EXPECT_EQ(order(caseName), (std::vector<std::string>{"c", "b", "a", "B", "A"}));

        const long long sizes[] = {30, 10, 20, 10, LLONG_MAX, 0};
        const char *labels[] = {"30", "10a", "20", "10b", "max", "0"};
        HTDirEntry s[6]{};
        HTDirTree *bySize = HTDirTree_new(HTDirLintCmp, g);
        for (int i = 0; i < 6; ++i) {
            s[i].name = const_cast<char *>(labels[i]);
            s[i].size = sizes[i];
            s[i].key = &s[i].size;
            HTDirTree_add(bySize, &s[i], g);
        }
        HTDirTree_sort(bySize, g);
        EXPECT_EQ(order(bySize), (std::vector<std::string>{"0", "10a", "10b", "20", "30", "max"}));

        // A long listing arriving in order (as FTP servers send it) comes out reversed, all of it.
        HTDirTree *big = HTDirTree_new(HTDirStrCmp, g);
        std::vector<std::string> keys(5000);
        std::vector<HTDirEntry> many(5000);
        for (int i = 0; i < 5000; ++i) {
            char k[16];
            std::snprintf(k, sizeof k, "f%05d", i);
            keys[i] = k;
            many[i].name = keys[i].data();
            many[i].key = keys[i].c_str();
            HTDirTree_add(big, &many[i], g);
        }
        HTDirTree_sort(big, g);
        ASSERT_EQ(big->count, 5000u);
        for (int i = 0; i < 5000; ++i)
            ASSERT_EQ(big->entries[i], &many[4999 - i]);
    });
}

// ---- whole pages ----

const time_t kWhen = 1577934245;   // 2020-01-02 03:04:05 UTC

struct PageRun {
    int result = 0;
    std::string answer;
};

// Renders `dir` for the URL `url` with the configuration, as a loader does.
PageRun browse(const HTStaticConfig &cfg, const std::string &url, const std::string &dir)
{
    PageRun run;
    htc_as_worker([&](HTThdGlobals *g) {
        g->config = &cfg;
        ClientEnd c(g);
        c.request.anchor = HTAnchor_findAddress(url.c_str(), g);
        run.result = HTBrowseDirectory(&c.request, dir.c_str(), g);
        run.answer = c.finish();
        g->config = nullptr;
    });
    return run;
}

std::string top(const std::string &title, const std::string &)
{
    return "<html>\n<head>\n   <title>Index of " + title + "</title>\n</head>\n<body>\n<center><h2>Index of " + title +
           "</h2></center>\n<hr>\n";
}

std::string table(const std::string &header)
{
    return "<table width=95% cellspacing=1 cellpadding=0 align=center>\n<tr><th><th align=left>Name<br><hr>" + header +
           "</tr>\n";
}

std::string pad(std::string s, size_t width)
{
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

std::string size_text(long long bytes)
{
    char buf[HT_DIR_SIZE_BUFFER];
    HTStaticConfig cfg{};
    std::string out;
    htc_as_worker([&](HTThdGlobals *g) {
        g->config = &cfg;
        out = HTDirSize(bytes, buf, HT_DIR_SIZE_FIELD, g);
        g->config = nullptr;
    });
    return out;
}

class Page : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(htc_test_start());
        ASSERT_FALSE(t.root.empty());
        t.file("README", "Hello <b>site</b>\n", 0644, kWhen);
        t.file("a.txt", std::string(1536, 'a'), 0644, kWhen + 60);
        t.file("b<&\".html", "<html><TITLE>  Page\n  one </title></html>", 0600, kWhen + 120);
        t.dir("sub", 0755, kWhen + 180);
        t.file(".www_descript", "Description a.txt Plain notes\n  d *.none  never\nnot a description line\nD\n", 0644);
        t.file(".hidden", "x", 0644);
        cfg.proxy_host_name = const_cast<char *>("proxy.test");
        cfg.proxy_port = 8080;
    }
    void TearDown() override { HTClearIcons(&cfg); }
    void icons()
    {
        HTAddBlankIcon("/icons/blank.gif", "   ", &cfg);
        HTAddDirIcon("/icons/dir.gif", "DIR", &cfg);
        HTAddParentIcon("/icons/back.gif", "UP", &cfg);
        HTAddUnknownIcon("/icons/unknown.gif", "???", &cfg);
        HTAddIcon("/icons/text.gif", "TXT", "text/*", &cfg, nullptr);
        HTAddIcon("/icons/zip.gif", "ZIP", "x-gzip", &cfg, nullptr);
    }
    std::string url() const { return "file://" + t.root + "/"; }

    FixedZone zone{"XST-2"};   // two hours east of UTC, no summer time
    TempTree t;
    HTStaticConfig cfg{};
};

std::string img(const std::string &file, const std::string &alt)
{
    return "<img src=\"http://proxy.test:8080/icons/" + file + "\" alt=\"" + alt + "\"> ";
}

TEST_F(Page, EveryLocalColumnWithIconsDescriptionsAndReadmeOnTop)
{
    cfg.dir_flags = HT_DIR_ICONS | HT_DIR_DATE | HT_DIR_SIZE | HT_DIR_PERMISSIONS;
    cfg.dir_description = 1;
    cfg.dir_max_description = 20;
    cfg.dir_peek_title = 1;
    cfg.dir_readme = HT_DIR_README_TOP;
    icons();
    const PageRun run = browse(cfg, url(), t.root);
    ASSERT_EQ(run.result, HT_LOAD_OK);

    const std::string header = " <th align=left >Last modified<br><hr><th align=right>Size<br><hr>"
                               "<th align=left >Permission<br><hr><th align=left >Description<br><hr>";
    const size_t w = header.size() + 20;
    auto cells = [&](const char *date, const char *size, const char *perm, const char *descr) {
        return pad(std::string("<td align=left> ") + date + " <td align=right>" + size + " <td align=left> " + perm +
                       " <td align=left> " + descr,
                   w);
    };
    const std::string title = t.root + "/";
    std::string page = top(title, header) + "<pre>Hello <b>site</b>\n</pre>" + table(header) + "<tr><td>" +
                       img("back.gif", "UP") + " <td><a href=\"..\">Parent directory</a>\n</tr>\n";
    // Names ignoring case, descending; the name column is 9 wide.
    page += "<tr><td>" + img("dir.gif", "DIR") + " <td><a href=\"./sub/\">sub/</a>      " +
            cells("02-01-2020  05:07", "       -", "drwxr-xr-x", "") + "</tr>\n";
    page += "<tr><td>" + img("unknown.gif", "???") + " <td><a href=\"./README\">README</a>    " +
            cells("02-01-2020  05:04", "      1K", "-rw-r--r--", "") + "</tr>\n";
    page += "<tr><td>" + img("text.gif", "TXT") +
            " <td><a href=\"./b%3C%26%22.html\">b&lt;&amp;&quot;.html</a> " +
            cells("02-01-2020  05:06", "      1K", "-rw-------", " Page one ") + "</tr>\n";
    page += "<tr><td>" + img("text.gif", "TXT") + " <td><a href=\"./a.txt\">a.txt</a>     " +
            cells("02-01-2020  05:05", "      2K", "-rw-r--r--", " Plain notes") + "</tr>\n";
    const long long total = t.size("README") + t.size("a.txt") + t.size("b<&\".html") + t.size("sub");
    std::string used = size_text(total);
    used.erase(0, used.find_first_not_of(' '));
    page += "</table><hr><center>4 files; " + used + " bytes used</center></body></html>";

    EXPECT_EQ(head_of(run.answer), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                       std::to_string(page.size()) + "\r\n\r\n");
    EXPECT_EQ(body_of(run.answer), page);
}

std::string user_of(uid_t id)
{
    struct passwd *p = getpwuid(id);
    char buf[32];
    if (p)
        std::snprintf(buf, sizeof buf, "%-8.8s ", p->pw_name);
    else
        std::snprintf(buf, sizeof buf, "%8lu ", static_cast<unsigned long>(id));
    return buf;
}

std::string group_of(gid_t id)
{
    struct group *p = getgrgid(id);
    char buf[32];
    if (p)
        std::snprintf(buf, sizeof buf, "%-8.8s ", p->gr_name);
    else
        std::snprintf(buf, sizeof buf, "%8lu ", static_cast<unsigned long>(id));
    return buf;
}

TEST_F(Page, OwnersLinksCutNamesCaseOrderAndReadmeAfterThePage)
{
    cfg.dir_flags = HT_DIR_LINKS | HT_DIR_OWNER | HT_DIR_GROUP | HT_DIR_CASE_ORDER | HT_DIR_HIDDEN;
    cfg.dir_max_name = 5;
    cfg.dir_readme = HT_DIR_README_BOTTOM;
    const PageRun run = browse(cfg, "file://" + t.root, t.root);
    ASSERT_EQ(run.result, HT_LOAD_OK);
    const std::string header = " <th align=left >Link<br><hr><th align=left >Owner<br><hr><th align=left >Group<br><hr>";
    const std::string ids = user_of(getuid()) + "<td align=left> " + group_of(getgid());
    auto cells = [&](const char *links) {
        return pad(std::string("<td align=left> ") + links + " <td align=left> " + ids, header.size());
    };
    const std::string last = t.root.substr(t.root.rfind('/') + 1);
    std::string page = top(t.root, header) + table(header) + "<tr><td><a href=\"" + last +
                       "/..\">Parent directory</a>\n</tr>\n";
    // Case-sensitive and descending; hidden names listed; names cut to five
    // characters, escaped after the cut, the marker last.
    auto row = [&](const std::string &link, const std::string &shown, size_t visible, const char *links) {
        return "<tr><td><td><a href=\"" + last + "/" + link + "\">" + shown + "</a>" + std::string(5 - visible, ' ') +
               " " + cells(links) + "</tr>\n";
    };
    page += row("sub/", "sub/", 4, "   2");
    page += row("b%3C%26%22.html", "b&lt;&amp;&quot;>", 5, "   1");
    page += row("a.txt", "a.txt", 5, "   1");
    page += row("README", "READ>", 5, "   1");
    page += row(".www_descript", ".www>", 5, "   1");
    page += row(".hidden", ".hid>", 5, "   1");
    const long long total = t.size("README") + t.size("a.txt") + t.size("b<&\".html") + t.size("sub") +
                            t.size(".www_descript") + t.size(".hidden");
    std::string used = size_text(total);
    used.erase(0, used.find_first_not_of(' '));
    page += "</table><hr><center>6 files; " + used + " bytes used</center></body></html>";
    page += "<pre>Hello <b>site</b>\n</pre>";
    EXPECT_EQ(body_of(run.answer), page);
}

TEST_F(Page, IconFirstLayoutLinkRulesAndItalicLinks)
{
    cfg.dir_flags = HT_DIR_ICONS | HT_DIR_ICON_FIRST | HT_DIR_LINK_ITALICS | HT_DIR_BY_SIZE;
    icons();
    HTAddHref("http://viewer.test/show?", ".gz", &cfg, nullptr);
    TempTree u;
    ASSERT_FALSE(u.root.empty());
    u.file("x.tar.gz", "12345", 0644, kWhen);
    u.link("to x", "x.tar.gz", kWhen);
    const PageRun run = browse(cfg, "http://proxy.test/u/", u.root);
    ASSERT_EQ(run.result, HT_LOAD_OK);
    const std::string header = " ";
    std::string page = top("/u/", header) + table(header) + "<tr><td>" + img("back.gif", "UP") +
                       " <td><a href=\"..\">Parent directory</a>\n</tr>\n";
    // By size, smallest first: the link (8 bytes of target) after the file (5).
    page += "<tr><td><a href=\"./x.tar.gz\">" + img("zip.gif", "ZIP") + "</a>  <td>x.tar.gz" + std::string(0, ' ') +
            "  </tr>\n";
    page += "<tr><td><a href=\"./to%20x\">" + img("dir.gif", "DIR") + "</a>  <td><i>to x</i>      </tr>\n";
    page += "</table><hr><center>2 files; 1K bytes used</center></body></html>";
    EXPECT_EQ(body_of(run.answer), page);

    // The default layout puts the rule's link around the icon.
    cfg.dir_flags = HT_DIR_ICONS | HT_DIR_BY_SIZE;
    const PageRun plain = browse(cfg, "http://proxy.test/u/", u.root);
    const std::string rule = "<tr><td><a href=\"http://viewer.test/show?" + u.root + "/x.tar.gz\">" +
                             img("zip.gif", "ZIP") + " </a><td><a href=\"./x.tar.gz\">x.tar.gz</a>  </tr>\n";
    EXPECT_NE(body_of(plain.answer).find(rule), std::string::npos) << body_of(plain.answer);
}

TEST_F(Page, EmptyDirectoryAndTheRootHaveNoRowsOrParent)
{
    TempTree e;
    ASSERT_FALSE(e.root.empty());
    const PageRun run = browse(cfg, "http://proxy.test/", e.root);
    ASSERT_EQ(run.result, HT_LOAD_OK);
    EXPECT_EQ(body_of(run.answer), top("/", " ") + table(" ") +
                                       "</table><hr><center>Empty directory</center></body></html>");
    // An address without a path: the catalogue's title.
    const PageRun bare = browse(cfg, "http://proxy.test", e.root);
    EXPECT_NE(body_of(bare.answer).find("<title>Index of Welcome Directory</title>"), std::string::npos);
    // The title is the unescaped path, shown escaped; the parent link is URL-escaped.
    const PageRun odd = browse(cfg, "http://proxy.test/a%3Cb/c%22d%26", e.root);
    EXPECT_EQ(body_of(odd.answer), top("/a&lt;b/c&quot;d&amp;", " ") + table(" ") +
                                       "<tr><td><a href=\"c%22d%26/..\">Parent directory</a>\n</tr>\n"
                                       "</table><hr><center>Empty directory</center></body></html>");
}

// An entry the directory lists but whose status cannot be read (its full
// path is longer than the system takes) is left out; the page is written
// with the others. The directory's own path is nearly that long, which
// also shows that nothing here has a fixed path length.
TEST_F(Page, EntryWhoseStatusFailsIsLeftOut)
{
    std::string deep = t.root;
    while (deep.size() + 201 < PATH_MAX - 240)
        deep += "/" + std::string(200, 'd');
    deep += "/" + std::string(PATH_MAX - 230 - deep.size(), 'e');
    ASSERT_TRUE(std::filesystem::create_directories(deep));
    const int fd = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::string longName(250, 'n');
    for (const std::string &name : {std::string("ok"), longName}) {
        const int f = openat(fd, name.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(f, 0);
        close(f);
    }
    struct stat st;
    ASSERT_NE(lstat((deep + "/" + longName).c_str(), &st), 0);
    const PageRun run = browse(cfg, "http://proxy.test/deep/", deep);
    unlinkat(fd, longName.c_str(), 0);
    close(fd);
    ASSERT_EQ(run.result, HT_LOAD_OK);
    const std::string body = body_of(run.answer);
    EXPECT_NE(body.find("<a href=\"./ok\">ok</a>"), std::string::npos);
    EXPECT_EQ(body.find("nnnn"), std::string::npos);
    EXPECT_NE(body.find("<center>1 file</center>"), std::string::npos) << body.substr(body.size() - 100);
}

// A sparse file of 5 000 000 000 bytes: sizes and totals are 64-bit.
TEST_F(Page, FilesOverFourGigabytes)
{
    TempTree big;
    ASSERT_FALSE(big.root.empty());
    big.file("huge", "");
    ASSERT_EQ(truncate(big.path("huge").c_str(), 5000000000LL), 0);
    cfg.dir_flags = HT_DIR_SIZE;
    const PageRun run = browse(cfg, "http://proxy.test/big/", big.root);
    const std::string body = body_of(run.answer);
    EXPECT_NE(body.find("<tr><td><td><a href=\"./huge\">huge</a> <td align=right>    4.7G     </tr>"), std::string::npos) << body;
    EXPECT_NE(body.find("1 file; 4.7G bytes used"), std::string::npos);
}

struct ErrorSeen {
    int status = 0;
    std::string message;
    int detailed = 0;
    std::string detailed_text;
};
ErrorSeen seen;

int record_error(HTRequest *, int status, const char *message, HTThdGlobals *g)
{
    seen.status = status;
    seen.message = message ? message : "";
    seen.detailed = g->detailed_error;
    seen.detailed_text = g->detailed_error_text ? g->detailed_error_text : "";
    return -status;
}

TEST_F(Page, UnreadableDirectoryIsForbidden)
{
    seen = ErrorSeen{};
    HTLoadError_setHandler(record_error);
    const PageRun run = browse(cfg, url(), t.path("no such dir"));
    HTLoadError_setHandler(nullptr);
    EXPECT_EQ(run.result, -403);
    EXPECT_EQ(seen.status, 403);
    EXPECT_EQ(seen.message, "Directory browsing failed - unable to open directory (opendir), errno:  2, errmsg:\n" +
                                std::string(strerror(ENOENT)));
    EXPECT_EQ(seen.detailed, HT_DERR_DIRNOBROWSE);
    EXPECT_EQ(seen.detailed_text, "Directory browsing failed - unable to read directory");
    EXPECT_EQ(run.answer, "");
}

} // namespace

namespace {

// A stream that keeps what it is given.
struct Capture {
    HTStream base;
    std::string text;
};

int cap_write(HTStream *s, const char *d, int n)
{
    reinterpret_cast<Capture *>(s)->text.append(d, static_cast<size_t>(n));
    return 0;
}

const HTStreamClass kCapture = {"Capture", nullptr, nullptr, nullptr, nullptr, cap_write, nullptr, nullptr, nullptr};

// The generator as an FTP listing drives it: its own entries and cells,
// the welcome text in place of the README, escaped.
TEST(HTDirGenerator, FtpListingPartsWithWideCells)
{
    ASSERT_TRUE(htc_test_start());
    FixedZone zone("UTC0");
    htc_as_worker([](HTThdGlobals *g) {
        HTStaticConfig cfg{};
        cfg.dir_flags = HT_DIR_COLUMNS;
        cfg.dir_ftp_welcome = HT_DIR_README_TOP;
        g->config = &cfg;
        int width = 0;
        // The server has no group column: InitBody leaves it out.
        const char *header = InitBody(HT_FTP_HAS_DATE | HT_FTP_HAS_SIZE | HT_FTP_HAS_LINKS | HT_FTP_HAS_OWNER, &width, g);
        EXPECT_STREQ(header, " <th align=left >Last modified<br><hr><th align=right>Size<br><hr>"
                             "<th align=left >Permission<br><hr><th align=left >Link<br><hr>"
                             "<th align=left >Owner<br><hr>");
        EXPECT_EQ(width, static_cast<int>(std::strlen(header)));

        HTDirCells cells{};
        cells.columns = HT_DIR_COLUMNS & ~HT_DIR_GROUP;
        cells.mtime = 1577934245;
        cells.has_time = 1;
        cells.size = 5000000000LL;
        cells.mode = S_IFREG | 0644;
        cells.links = 10000;           // wider than its four characters
        cells.owner = nullptr;
        cells.owner_id = 1234567890;   // more than eight digits
        const char *wide = HTDirColumnText(&cells, 0, g);
        EXPECT_STREQ(wide, "<td align=left> 02-01-2020  03:04 <td align=right>    4.7G <td align=left> -rw-r--r-- "
                           "<td align=left> 10000 <td align=left> 1234567890 ");
        cells.has_time = 0;
        cells.is_dir = 1;
        cells.links = 2;
        cells.owner = "a-very-long-owner";
        const char *dir = HTDirColumnText(&cells, 200, g);
        EXPECT_EQ(std::string(dir), pad("<td align=left> -                 <td align=right>       - <td align=left> "
                                        "-rw-r--r-- <td align=left>    2 <td align=left> a-very-l ",
                                        200));

        HTDirEntry a{}, b{};
        a.name = const_cast<char *>("pub/");
        a.is_dir = 1;
        a.key = a.name;
        a.columns = const_cast<char *>("C1");
        b.name = const_cast<char *>("x\"y.txt");
        b.key = b.name;
        b.columns = const_cast<char *>("C2");
        HTDirTree *tree = HTDirTree_new(HTDirStrCaseCmp, g);
        HTDirTree_add(tree, &a, g);
        HTDirTree_add(tree, &b, g);
        Capture out{{&kCapture}, {}};
        HTDirFtpInfo ftp{"Welcome <to> & \"here\"\n"};
        HTAnchor *anchor = HTAnchor_findAddress("ftp://ftp.test/pub/", g);
        EXPECT_EQ(HTDirOutTop(&out.base, anchor, header, "/pub/", &ftp, 7, g), 0);
        EXPECT_EQ(HTDirOutList(&out.base, tree, "", "/pub/", width, 6, g), 0);
        EXPECT_EQ(HTDirOutBottom(&out.base, 2, "/pub/", &ftp, 0, g), 0);
        EXPECT_EQ(out.text, top("/pub/", header) + "<pre>Welcome &lt;to&gt; &amp; &quot;here&quot;\n</pre>" +
                                table(header) + "<tr><td><a href=\"..\">Parent directory</a>\n</tr>\n" +
                                "<tr><td><td><a href=\"x%22y.txt\">x&quot;y.t></a> C2</tr>\n"
                                "<tr><td><td><a href=\"pub/\">pub/</a>   C1</tr>\n"
                                "</table><hr><center>2 files</center></body></html>");
        Capture saved{{&kCapture}, {}};
        EXPECT_EQ(HTDirSaveList(&saved.base, tree, g), 0);
        EXPECT_EQ(saved.text, "x\"y.txt\npub/\n");
        g->config = nullptr;
    });
}

} // namespace
