/*
 * smuxbridge_peers: the daemon's line of the peers file (/etc/snmpd.peers),
 * which gives the identity and password it opens the SMUX association with.
 *
 * Lines are read with a limit of 8192 bytes; "#" at the start makes a comment
 * line, elsewhere it cuts the rest of the line. Tokens are separated by runs of
 * blanks, tabs, newlines, vertical tabs, form feeds and double quotes. The
 * first line whose first token is the daemon's name wins: token 2 is the
 * identity, token 3 the password; a missing token leaves the earlier value.
 */
#ifndef SMUXBRIDGE_PEERS_H
#define SMUXBRIDGE_PEERS_H

#include <cstddef>
#include <cstdio>

constexpr std::size_t PEERS_LINE_MAX = 8192;
constexpr int PEERS_TOKENS_MAX = 16;

struct peers_fields {
    char *oid;            /* identity field */
    std::size_t oid_size; /* its capacity, terminator included */
    bool *oid_set;        /* set once an identity was read */
    char *pw;             /* password field */
    std::size_t pw_size;
};

enum {
    PEERS_MATCHED = 1,    /* the daemon's line was found */
    PEERS_NO_MATCH = 0,
    PEERS_TOO_LONG = -1   /* a token does not fit its field; nothing changed */
};

/* Reads `f` for the line of `name` and copies its tokens into the fields.
 * *lines gets the number of lines read (the matching line's number, or all
 * lines when nothing matched). */
int read_peers_file(std::FILE *f, const char *name, const peers_fields &fields, int *lines);

#endif
