/*
 * HTWild: wildcard patterns, rule trees and numeric address patterns.
 *
 * Configuration rules name URLs with "*" patterns; a match captures what
 * each "*" stood for, and a replacement template receives the captures
 * (URL mapping). A rule tree matches one URL against many rules at once,
 * sharing their common prefixes, and picks the rule with the smallest
 * number that matches, honouring each rule's server address and port.
 * Address patterns allow ranges per byte of a dotted IPv4 address.
 *
 * Patterns, trees and address patterns live in the general heap and are
 * shared read-only by every thread once built; match results come from the
 * calling thread's pool.
 */
#ifndef HTWILD_H
#define HTWILD_H

#include "HTGlobals-t.h"
#include "htexport.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One segment: the text that follows a "*" (wild) or starts the pattern. */
typedef struct HTPattern {
    int wild;
    char *text;
    int length;
    struct HTPattern *next;
} HTPattern;

/* Captures of a match, one per "*" in pattern order; a match gives at least one node. */
typedef struct HTPatternCapture {
    char *text;
    struct HTPatternCapture *next;
} HTPatternCapture;

/*
 * "*" matches any run of characters (also none); "\" makes the next character
 * literal and a "\" at the very end stands for a line feed; consecutive stars
 * act as one. The empty text (or null) gives null.
 */
HT_EXPORT HTPattern *HTPattern_new(const char *text) HT_NOEXCEPT;
HT_EXPORT void HTPattern_free(HTPattern *pattern) HT_NOEXCEPT;

/*
 * Matches the whole subject. Success: the template with the captures put in
 * for its stars, or a pool copy of the subject without a template. Null on
 * failure or a null pattern or subject. A "*" never swallows the start of a
 * user directory ("/~" or "file:/~"): the pattern "/" followed by a star
 * does not match "/~joe/x".
 */
HT_EXPORT char *HTPattern_match(const HTPattern *pattern, const HTPattern *tmpl,
                                const char *subject, int caseSensitive, HTThdGlobals *pool) HT_NOEXCEPT;
/*
 * The same against a URL as it stands: a percent escape ("%" and two
 * hexadecimal digits) in the URL matches the character it encodes; captures
 * keep the escapes. The first is case-sensitive.
 */
HT_EXPORT char *HTPattern_url_match(const HTPattern *pattern, const HTPattern *tmpl,
                                    const char *url, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT char *HTPattern_url_matchEx(const HTPattern *pattern, const HTPattern *tmpl,
                                      const char *url, int caseSensitive, HTThdGlobals *pool) HT_NOEXCEPT;
/* The captures themselves (null: no match). */
HT_EXPORT HTPatternCapture *HTPattern_captures(const HTPattern *pattern, const char *subject,
                                               int caseSensitive, HTThdGlobals *pool) HT_NOEXCEPT;
/* The template with the captures put in (pool text of exactly its length). */
HT_EXPORT char *HTPattern_replace(const HTPattern *tmpl, const HTPatternCapture *captures,
                                  HTThdGlobals *pool) HT_NOEXCEPT;

/*
 * Where the first capture begins in a matching subject: the subject itself
 * when the pattern begins with "*", subject + the first segment's length
 * when there is a further segment, else null.
 */
HT_EXPORT const char *HTPattern_firstWild(const HTPattern *pattern, const char *subject) HT_NOEXCEPT;
/* Heap text of the pattern ("*" before each wild segment); null pattern: "". */
HT_EXPORT char *HTPattern_stringitize(const HTPattern *pattern) HT_NOEXCEPT;
/* Appends the segments from `segment` on to the heap text (null: a new one); returns it. */
HT_EXPORT char *HTPattern_stringitizeThis(const HTPattern *segment, char *text) HT_NOEXCEPT;

/* ---- Rule trees -------------------------------------------------------------------- */

/* A rule as the host's configuration gives it; the tree only reads it. */
typedef struct HTPatternRule {
    int32_t ruleID;        /* smaller = higher priority */
    const char *pattern;
    const HTPattern *replacement; /* null: the matched subject itself */
    const char *address;   /* server address text, null = any */
    uint16_t port;         /* 0 = any */
} HTPatternRule;

typedef struct HTRuleNode {
    void *leaf;            /* leaf: the rule (groupSize 1) or an array of leaf nodes */
    int groupSize;
    void *value;
    char *prefix;
    int nextCharCount;
    char *nextChars;       /* 0 for a pattern that ends after the prefix */
    struct HTRuleNode **children;
    void *owner;
    int32_t minRuleID;     /* the smallest rule number below this node */
} HTRuleNode;

HT_EXPORT HTRuleNode *HTCreateRuleTree(void *owner, HTPatternRule **rules, int count, int start,
                                       void *value, void *extra) HT_NOEXCEPT;
HT_EXPORT void HTDestroyRuleTree(HTRuleNode *tree, int flag) HT_NOEXCEPT;
HT_EXPORT HTRuleNode *HTArrayRuleTreeLeafNodes(void *owner, HTPatternRule **rules, int count,
                                               int ruleCount, void *value) HT_NOEXCEPT;

/*
 * The matching rule with the smallest number (not below the number of the
 * rule in *ruleInOut on entry, when there is one): its template with the
 * captures, or a pool copy of the subject; *ruleInOut becomes the rule.
 * No match: null, and *ruleInOut becomes null. A rule qualifies when its
 * address is null or equals `address`, and its port is 0 or `port`.
 * caseFlag 0 compares without regard to case.
 */
HT_EXPORT char *HTPatternGroup_match(const HTRuleNode *tree, HTPatternRule **ruleInOut,
                                     const char *subject, const char *address, int port,
                                     int caseFlag, HTThdGlobals *pool) HT_NOEXCEPT;
/* The matcher behind it: the captures, the rule in *best. */
HT_EXPORT HTPatternCapture *rulenode_match(const HTRuleNode *node, const char *subject,
                                           HTPatternRule **best, const char *address, int port,
                                           int caseFlag, HTThdGlobals *pool) HT_NOEXCEPT;

/* ---- Address patterns -------------------------------------------------------------- */

typedef struct HTNumRange {
    int32_t low;
    int32_t high;
} HTNumRange;

typedef struct HTRanNumPat {
    HTNumRange *ranges;
    int count;
    struct HTRanNumPat *next;
} HTRanNumPat;

/*
 * Four parts separated by ".", each a number 0..255 or a bracketed list of
 * numbers and ranges ("[1,5-9,200]"; "9-5" is the range 5..9). Anything else
 * (blanks, three or five parts, values above 255) gives null.
 */
HT_EXPORT HTRanNumPat *HTRanNumPat_new(const char *text) HT_NOEXCEPT;
/* 1 when the dotted address has exactly four bytes, each in its part's ranges; else 0. */
HT_EXPORT int HTRanNumPat_match(const HTRanNumPat *pattern, const char *address) HT_NOEXCEPT;
HT_EXPORT void HTRanNumPat_free(HTRanNumPat *pattern) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
