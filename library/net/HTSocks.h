/*
 * HTSocks: the SOCKS client's rules and its old-style server.
 *
 * The rule file is read into the server configuration at start-up; for each
 * outgoing connection the socket layer asks check_cconf whether to connect
 * directly, through the SOCKS servers of the first matching rule, or not at
 * all. The rules are only read after loading, from any thread, without a
 * lock.
 *
 * The rule file, one rule a line ('#' starts a comment; a line of more than
 * 1023 characters is skipped whole; words as parse_args splits them, at most
 * 50):
 *
 *     sockd @=server[,server...] [*=users] destination mask [op port]
 *     sockd@=server[,server...]  [*=users] destination mask [op port]
 *     direct                     [*=users] destination mask [op port]
 *     deny                       [*=users] destination mask [op port]
 *
 * The first word is compared in lower case with '-' and '_' removed, and a
 * word that begins with "sockd", "direct" or "deny" counts. A server is a
 * host name or dotted address, with ":port" if wanted. A rule matches a
 * destination D when (destination AND mask) equals (D AND mask) and D's port
 * passes the operator: eq, neq, lt, gt, le, ge (any case; an unknown word
 * there matches every port). The port is a number up to 65535 or a TCP
 * service name; an operator without a usable port drops the rule. Bad lines
 * are traced and skipped; loading never fails.
 */
#ifndef HTSOCKS_H
#define HTSOCKS_H

#include "HTConfig.h"
#include "HTList.h"
#include "htexport.h"

#include <netinet/in.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Rule types, and check_cconf's answers. */
#define HT_SOCKS_SOCKD 1
#define HT_SOCKS_DIRECT 2
#define HT_SOCKS_DENY 3

/* Port operators. */
#define HT_SOCKS_OP_NONE 0
#define HT_SOCKS_OP_EQ 1
#define HT_SOCKS_OP_LT 2
#define HT_SOCKS_OP_GT 3
#define HT_SOCKS_OP_NEQ 4
#define HT_SOCKS_OP_LE 5
#define HT_SOCKS_OP_GE 6

/* The port SOCKS servers listen on; a server's own port in the list is not used for the connect. */
#define HT_SOCKS_PORT 1080
#define HT_SOCKS_DEFAULT_USER "vly"
#define HT_SOCKS_LINE_MAX 1023

typedef struct HTSocksEntry {
    int type;                        /* HT_SOCKS_SOCKD, _DIRECT or _DENY */
    HTList *servers;                 /* sockd: struct sockaddr_in objects (heap), in order */
    struct sockaddr_in destination;  /* address part: the destination pattern */
    struct sockaddr_in mask;         /* address part: the mask */
    int op;                          /* HT_SOCKS_OP_* */
    int port;                        /* compared with the destination port by op */
} HTSocksEntry;

/* Frees the SOCKS data the record holds, then: no rules, no old-style server, user id "vly"; 0. */
HT_EXPORT int Socks_init(HTStaticConfig *config) HT_NOEXCEPT;
/* Reads the open rule file to its end into the record, replacing earlier rules; 0. */
HT_EXPORT int Socks_loadConfiguration(FILE *file, HTStaticConfig *config) HT_NOEXCEPT;
/* The old-style server by host name or dotted address; set only when it resolves; 0. */
HT_EXPORT int Socks_setServer(const char *name, HTStaticConfig *config) HT_NOEXCEPT;
/* Frees the rules with their server lists and the user id. */
HT_EXPORT void Socks_free(HTStaticConfig *config) HT_NOEXCEPT;

/* A zeroed heap entry of the type. */
HT_EXPORT HTSocksEntry *HTSocksEntry_new(int type) HT_NOEXCEPT;
/* The comma-separated servers that resolve, in order (port 1080 unless given); null when none does. */
HT_EXPORT HTList *HTSocks_parseServerList(const char *text) HT_NOEXCEPT;
/* Frees the list and every object in it. */
HT_EXPORT void HTSocksList_deleteAndFreeContents(HTList *list) HT_NOEXCEPT;
/* A port number 0 to 65535 or a TCP service's port; -1 otherwise. */
HT_EXPORT int GetPort(const char *word) HT_NOEXCEPT;

/*
 * The decision for the destination: the type of the first matching rule
 * (its server list stored through `servers` when not null), or
 * HT_SOCKS_DIRECT without rules, for 0.0.0.0, 127.0.0.1, 255.255.255.255 and
 * when nothing matches. A null record means HTMyStaticConfig.
 */
HT_EXPORT int check_cconf(const struct sockaddr_in *destination, HTList **servers,
                          const HTStaticConfig *config) HT_NOEXCEPT;

/* Internal, for tests: how addresses and server names are resolved (null: HTParseInet). */
typedef int (*HTSocksResolver)(struct sockaddr_in *address, const char *text);
void HTSocks__setResolver(HTSocksResolver resolver) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
