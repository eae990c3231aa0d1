// The ftp loader's readers of server replies: reply lines, passive
// addresses, system names and announced sizes.

#include "HTFTP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds the lines; the result of the last one, the lines taken and the code.
int feed(const std::vector<std::string> &lines, HTFTPReply *reply, size_t *taken)
{
    *reply = HTFTPReply{};
    int rc = HT_FTP_REPLY_BAD;
    *taken = 0;
    for (const auto &l : lines) {
        size_t offset = 0;
        rc = HTFTP_replyLine(reply, l.data(), l.size(), &offset);
        ++*taken;
        if (rc != HT_FTP_REPLY_MORE)
            break;
    }
    return rc;
}

} // namespace

TEST(FTPReply, SingleAndMultiLineReplies)
{
    struct {
        std::vector<std::string> lines;
        int rc;
        size_t taken;
        int code;
    } cases[] = {
        {{"220 ready"}, HT_FTP_REPLY_DONE, 1, 220},
        {{"220"}, HT_FTP_REPLY_DONE, 1, 220},
        {{"220-Welcome", "220-more", "220 "}, HT_FTP_REPLY_DONE, 3, 220},
        // Text lines inside may look like codes: only "ddd " with the same code ends it.
        {{"230-Hello", "  indented", "150 not the end", "230-still", "230 done", "extra"}, HT_FTP_REPLY_DONE, 5,
         230},
        {{"220-open", "230 other code"}, HT_FTP_REPLY_MORE, 2, 220},
        {{"hello"}, HT_FTP_REPLY_BAD, 1, 0},
        {{"22 short"}, HT_FTP_REPLY_BAD, 1, 0},
        {{"099 low"}, HT_FTP_REPLY_BAD, 1, 0},
        {{"600 high"}, HT_FTP_REPLY_BAD, 1, 0},
        {{"220x"}, HT_FTP_REPLY_BAD, 1, 0},
        {{""}, HT_FTP_REPLY_BAD, 1, 0},
    };
    for (const auto &c : cases) {
        HTFTPReply r;
        size_t taken;
        EXPECT_EQ(feed(c.lines, &r, &taken), c.rc) << c.lines[0];
        EXPECT_EQ(taken, c.taken) << c.lines[0];
        EXPECT_EQ(r.code, c.code) << c.lines[0];
    }
    HTFTPReply r{};
    size_t offset = 9;
    EXPECT_EQ(HTFTP_replyLine(&r, "331-Please", 10, &offset), HT_FTP_REPLY_MORE);
    EXPECT_EQ(offset, 4u);
    EXPECT_EQ(HTFTP_replyLine(&r, "free text", 9, &offset), HT_FTP_REPLY_MORE);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(HTFTP_replyLine(nullptr, "220 x", 5, nullptr), HT_FTP_REPLY_BAD);
}

TEST(FTPReply, PassiveAddresses)
{
    struct {
        const char *text;
        int rc;
        const char *address;
        int port;
    } cases[] = {
        {"Entering Passive Mode (127,0,0,1,160,27).", 0, "127.0.0.1", 160 * 256 + 27},
        {"Entering Passive Mode 10,1,2,3,0,21", 0, "10.1.2.3", 21},
        {"=127,0,0,1,4,1", 0, "127.0.0.1", 1025},
        {"(127,0,0,1,256,1)", -1, nullptr, 0},
        {"(127,0,0,1,1000,1)", -1, nullptr, 0},
        {"(127,0,0,1,0,0)", -1, nullptr, 0},
        {"(127,0,0,1,4)", -1, nullptr, 0},
        {"(127,0,0,1,4,)", -1, nullptr, 0},
        {"no numbers", -1, nullptr, 0},
        {"", -1, nullptr, 0},
    };
    for (const auto &c : cases) {
        uint32_t address = 0;
        int port = 0;
        // Exactly the text's bytes: the reader never looks past them.
        std::vector<char> bytes(c.text, c.text + std::strlen(c.text));
        ASSERT_EQ(HTFTP_parsePasv(bytes.data(), bytes.size(), &address, &port), c.rc) << c.text;
        if (c.rc != 0)
            continue;
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address, dotted, sizeof dotted);
        EXPECT_STREQ(dotted, c.address) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    // Cut short, the numbers are never complete.
    const std::string full = "(127,0,0,1,160,27)";
    for (size_t n = 0; n + 2 < full.size(); ++n) {
        std::vector<char> bytes(full.begin(), full.begin() + static_cast<long>(n));
        uint32_t address;
        int port;
        EXPECT_EQ(HTFTP_parsePasv(bytes.data(), bytes.size(), &address, &port), -1) << n;
    }
}

TEST(FTPReply, SystemNamesAndSizes)
{
    EXPECT_EQ(HTFTP_styleOf("UNIX Type: L8"), HT_FTP_STYLE_UNIX);
    EXPECT_EQ(HTFTP_styleOf("VMS V5.5"), HT_FTP_STYLE_VMS);
    EXPECT_EQ(HTFTP_styleOf("Windows_NT"), HT_FTP_STYLE_NT);
    EXPECT_EQ(HTFTP_styleOf("MACOS Peter's Server, running on PELION"), HT_FTP_STYLE_PELION);
    EXPECT_EQ(HTFTP_styleOf("OS/2"), HT_FTP_STYLE_UNIX);
    EXPECT_EQ(HTFTP_styleOf(""), HT_FTP_STYLE_UNIX);
    EXPECT_EQ(HTFTP_styleOf(nullptr), HT_FTP_STYLE_UNIX);

    EXPECT_EQ(HTFTP_announcedSize("Opening BINARY mode data connection for a.txt (6 bytes)."), 6);
    EXPECT_EQ(HTFTP_announcedSize("Opening (for x) data (5000000000 bytes)."), 5000000000LL);
    EXPECT_EQ(HTFTP_announcedSize("Opening BINARY mode data connection for a.txt."), -1);
    EXPECT_EQ(HTFTP_announcedSize("(bytes)"), -1);
    EXPECT_EQ(HTFTP_announcedSize("(99999999999999999999999 bytes)"), -1);
    EXPECT_EQ(HTFTP_announcedSize(nullptr), -1);
}
