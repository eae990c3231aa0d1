// The ftp loader against a private vsftpd on loopback: directory pages,
// a file, and the failures with their pages.

#include "HTFTP.h"

#include "HTAnchor.h"
#include "HTError.h"
#include "HTFTPBrowse.h"
#include "HTLoadCodes.h"
#include "HTRequest.h"
#include "htc_worker.h"
#include "peers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// A stream that keeps what the loader sends.
struct Capture : HTStream {
    std::string bytes;
};

int cap_write(HTStream *me, const char *data, int length)
{
    static_cast<Capture *>(me)->bytes.append(data, static_cast<size_t>(length));
    return 0;
}
int cap_put_string(HTStream *me, const char *text)
{
    static_cast<Capture *>(me)->bytes.append(text);
    return 0;
}
int cap_put_character(HTStream *me, int c)
{
    static_cast<Capture *>(me)->bytes.push_back(static_cast<char>(c));
    return 0;
}
int cap_free(HTStream *, void *) { return 0; }
int cap_abort(HTStream *, void *) { return 0; }
int cap_status(HTStream *, int *) { return 0; }
int cap_message(HTStream *, int, void *) { return 0; }
int cap_put_headers(HTStream *, void *) { return 0; }
const HTStreamClass kCaptureClass = {"Capture", cap_free, cap_abort, cap_put_character, cap_put_string,
                                     cap_write, cap_status, cap_message, cap_put_headers};

// Error pages as the host would make them: the status and the message.
int error_page(HTRequest *request, int status, const char *message, HTThdGlobals *)
{
    HTStream *out = request->output_stream;
    std::string page = "ERROR " + std::to_string(status) + ": " + message;
    out->isa->write(out, page.data(), static_cast<int>(page.size()));
    return -status;
}

int run(const char *command)
{
    return std::system(command);
}

class Vsftpd : public WorkerTest {
protected:
    static void SetUpTestSuite()
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        dir = new peers::TempDir("ftppeer");
        const std::string d = dir->path.string();
        const std::string root = d + "/root";
        mkdir((d + "/empty").c_str(), 0755);
        mkdir(root.c_str(), 0755);
        mkdir((root + "/sub").c_str(), 0755);
        mkdir((root + "/sub/deeper").c_str(), 0755);
        dir->write("root/old.txt", "old file\n");
        dir->write("root/sub/inner.html", "<p>inner</p>\n");
        dir->write("root/a <b> \"c\" & d.txt", "odd name\n");
        dir->write("root/with  two blanks", "x");
        dir->write("root/setid", "#!/bin/sh\n");
        dir->write("root/recent.txt", "recent\n");
        std::ofstream(root + "/sparse.iso").close();
        truncate((root + "/sparse.iso").c_str(), 5000000000LL);
        symlink("old.txt", (root + "/link").c_str());
        mkdir((root + "/sticky").c_str(), 01777);
        chmod((root + "/sticky").c_str(), 01777);
        chmod((root + "/setid").c_str(), 06755);
        const std::string fixed = "touch -h -d '2020-01-10 08:30:00 UTC' ";
        run((fixed + "'" + root + "/old.txt' '" + root + "/sub' '" + root + "/sub/inner.html' '" + root +
             "/a <b> \"c\" & d.txt' '" + root + "/with  two blanks' '" + root + "/setid' '" + root +
             "/sparse.iso' '" + root + "/link' '" + root + "/sticky' '" + root + "/sub/deeper'")
                .c_str());
        dir->write("banner", "Welcome <test> & \"friends\"\nsecond line\n");
        port = peers::free_port("127.0.0.1");
        std::ofstream conf(dir->file("vsftpd.conf"));
        conf << "listen=YES\nbackground=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
             << "\nanonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" << root
             << "\nwrite_enable=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
                "port_enable=NO\nsecure_chroot_dir="
             << d << "/empty\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nuse_localtime=NO\n"
             << "banner_file=" << d << "/banner\nxferlog_enable=NO\n";
        conf.close();
        const std::string vsftpd = peers::find_program("vsftpd");
        if (vsftpd.empty())
            return;
        server = new peers::Child({vsftpd, dir->file("vsftpd.conf")}, {}, *dir, "vsftpd.out");
        if (!peers::wait_listening("127.0.0.1", port, 5)) {
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
        delete dir;
        dir = nullptr;
    }
    void SetUp() override
    {
        WorkerTest::SetUp();
        if (server == nullptr)
            GTEST_SKIP() << "vsftpd did not start";
        HTLoadError_setHandler(error_page);
    }
    void TearDown() override
    {
        HTLoadError_setHandler(nullptr);
        WorkerTest::TearDown();
    }
    // Loads the URL path; the answer goes to `out`.
    int load(const std::string &path, std::string *out, const char *userinfo = "")
    {
        Capture capture;
        capture.isa = &kCaptureClass;
        HTRequest *r = HTRequest_new(g);
        const std::string url = "ftp://" + std::string(userinfo) + "127.0.0.1:" + std::to_string(port) + path;
        r->anchor = HTAnchor_findAddress(url.c_str(), g);
        r->output_stream = &capture;
        const int rc = HTLoadFTP(r, g);
        *out = capture.bytes;
        HTRequest_delete(r);
        return rc;
    }
    static peers::TempDir *dir;
    static peers::Child *server;
    static int port;
};

peers::TempDir *Vsftpd::dir = nullptr;
peers::Child *Vsftpd::server = nullptr;
int Vsftpd::port = 0;

} // namespace

TEST_F(Vsftpd, DirectoryPageIsByteExact)
{
    std::string page;
    ASSERT_EQ(load("/", &page), HT_LOAD_OK);
    struct stat st {};
    ASSERT_EQ(stat(dir->file("root/recent.txt").c_str(), &st), 0);
    char when[32];
    struct tm tm;
    gmtime_r(&st.st_mtime, &tm);
    strftime(when, sizeof when, "%d-%m-%Y  %H:%M", &tm);
    std::string body = "<html>\n"
        "<head>\n"
        "   <title>Index of /</title>\n"
        "</head>\n"
        "<body>\n"
        "<center><h2>Index of /</h2></center>\n"
        "<hr>\n"
        "<pre>Welcome &lt;test&gt; &amp; &quot;friends&quot;\n"
        "second line\n"
        "</pre><table width=95% cellspacing=1 cellpadding=0 align=center>\n"
        "<tr><th><th align=left>Name<br><hr> <th align=left >Last modified<br><hr><th align=right>Size<br><hr><th align=left >Permission<br><hr><th align=left >Link<br><hr><th align=left >Owner<br><hr><th align=left >Group<br><hr></tr>\n"
        "<tr><td><td><a href=\"./with%20%20two%20blanks\">with  two blanks</a>     <td align=left> 10-01-2020  00:00 <td align=right>    1K   <td align=left> -rw-r--r-- <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./sub/\">sub/</a>                 <td align=left> 10-01-2020  00:00 <td align=right>       - <td align=left> drwxr-xr-x <td align=left>    3 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./sticky/\">sticky/</a>              <td align=left> 10-01-2020  00:00 <td align=right>       - <td align=left> drwxrwxrwt <td align=left>    2 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./sparse.iso\">sparse.iso</a>           <td align=left> 10-01-2020  00:00 <td align=right>  4.7G   <td align=left> -rw-r--r-- <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./setid\">setid</a>                <td align=left> 10-01-2020  00:00 <td align=right>    1K   <td align=left> -rwsr-sr-x <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./recent.txt\">recent.txt</a>           <td align=left> @RECENT@ <td align=right>    1K   <td align=left> -rw-r--r-- <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./old.txt\">old.txt</a>              <td align=left> 10-01-2020  00:00 <td align=right>    1K   <td align=left> -rw-r--r-- <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./link\">link</a>                 <td align=left> 10-01-2020  00:00 <td align=right>    0K   <td align=left> lrwxrwxrwx <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "<tr><td><td><a href=\"./a%20%3Cb%3E%20%22c%22%20%26%20d.txt\">a &lt;b&gt; &quot;c&quot; &amp; d.txt</a>    <td align=left> 10-01-2020  00:00 <td align=right>    1K   <td align=left> -rw-r--r-- <td align=left>    1 <td align=left> 0        <td align=left> 0                                     </tr>\n"
        "</table><hr><center>9 files; 4.7G bytes used</center></body></html>";
    body.replace(body.find("@RECENT@"), 8, when);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    EXPECT_EQ(page, head + body);
}

TEST_F(Vsftpd, SubdirectoriesWithAndWithoutTheSlash)
{
    std::string page;
    ASSERT_EQ(load("/sub/", &page), HT_LOAD_OK);
    EXPECT_NE(page.find("<title>Index of /sub/</title>"), std::string::npos);
    EXPECT_NE(page.find("<tr><td><a href=\"..\">Parent directory</a>\n</tr>\n"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"./inner.html\">inner.html</a>"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"./deeper/\">deeper/</a>"), std::string::npos);
    EXPECT_NE(page.find("2 files; 4K bytes used"), std::string::npos);
    // RETR refused with 550, CWD accepted: the same listing, links under the last segment.
    ASSERT_EQ(load("/sub", &page), HT_LOAD_OK);
    EXPECT_NE(page.find("<tr><td><a href=\"sub/..\">Parent directory</a>"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"sub/inner.html\">inner.html</a>"), std::string::npos);
    // Absolute paths keep their root in the parent link.
    ASSERT_EQ(load("/%2Fsub/deeper/", &page), HT_LOAD_OK);
    EXPECT_NE(page.find("<a href=\"/%2Fsub/\">Parent directory</a>"), std::string::npos);
    ASSERT_EQ(load("/%2Fsub/", &page), HT_LOAD_OK);
    EXPECT_NE(page.find("<a href=\"/%2F/\">Parent directory</a>"), std::string::npos);
}

TEST_F(Vsftpd, FilesComeWithTypeAndLength)
{
    std::string answer;
    ASSERT_EQ(load("/old.txt", &answer), HT_LOAD_OK);
    EXPECT_EQ(answer, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n\r\nold file\n");
    ASSERT_EQ(load("/sub/inner.html", &answer), HT_LOAD_OK);
    EXPECT_EQ(answer,
              "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: 13\r\n\r\n<p>inner</p>\n");
    ASSERT_EQ(load("/a%20%3Cb%3E%20%22c%22%20%26%20d.txt", &answer), HT_LOAD_OK);
    EXPECT_NE(answer.find("\r\n\r\nodd name\n"), std::string::npos);
}

TEST_F(Vsftpd, FailuresGiveTheirPages)
{
    std::string answer;
    EXPECT_EQ(load("/missing.txt", &answer), -404);
    EXPECT_EQ(answer.rfind("ERROR 404: FTP Error: no such file or directory", 0), 0u) << answer;
    EXPECT_EQ(g->detailed_error, HT_DERR_NOTFOUND);
    EXPECT_EQ(load("/missing/", &answer), -404);
    EXPECT_EQ(answer.rfind("ERROR 404: FTP Error: no such directory", 0), 0u) << answer;
    // Local users are not allowed: the login is refused.
    EXPECT_EQ(load("/", &answer, "someone:secret@"), -403);
    EXPECT_EQ(answer.rfind("ERROR 403: FTP Error: the server refused the login", 0), 0u) << answer;
    EXPECT_EQ(g->detailed_error, HT_DERR_FTPLOGINREJ);
    // Nothing listens on the port any more.
    const int closed = peers::free_port("127.0.0.1");
    Capture capture;
    capture.isa = &kCaptureClass;
    HTRequest *r = HTRequest_new(g);
    const std::string url = "ftp://127.0.0.1:" + std::to_string(closed) + "/";
    r->anchor = HTAnchor_findAddress(url.c_str(), g);
    r->output_stream = &capture;
    EXPECT_EQ(HTLoadFTP(r, g), HT_LOAD_RETRY_CONNECT);
    EXPECT_EQ(capture.bytes.rfind("ERROR 504: FTP Error: unable to connect to the server", 0), 0u) << capture.bytes;
    EXPECT_EQ(g->detailed_error, HT_DERR_FTPNOCONNECT);
    // A line end escaped in the path never becomes a second command.
    EXPECT_EQ(load("/x%0D%0ADELE%20old.txt", &answer), -404);
    HTRequest_delete(r);
}
