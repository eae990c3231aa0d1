// HTWild: wildcard patterns, rule trees and numeric address patterns.

#include "HTWild.h"

#include "HTAlloc.h"
#include "HTAllocator.hpp"
#include "HTExcept.h"
#include "HTMPool.h"
#include "HTString.h"
#include "HTTrace.h"
#include "HTHex.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

bool user_dir(const char *p)
{
    return (p[0] == '/' && p[1] == '~') || std::strncmp(p, "file:/~", 7) == 0;
}

int upper(unsigned char c) { return useToUpperTable(c); }

bool same_char(unsigned char a, unsigned char b, bool caseSensitive)
{
    return a == b || (!caseSensitive && upper(a) == upper(b));
}

// A "%" followed by two hexadecimal digits; any other "%" is a literal one.
// s[i + 2] is read only after s[i + 1] proved to be a digit (not the end).
int escape_at(const char *s, size_t i)
{
    if (s[i] != '%')
        return -1;
    const int hi = ht::hex_value(static_cast<unsigned char>(s[i + 1]));
    if (hi < 0)
        return -1;
    const int lo = ht::hex_value(static_cast<unsigned char>(s[i + 2]));
    if (lo < 0)
        return -1;
    return hi * 16 + lo;
}

struct Cap {
    size_t pos;
    size_t len;
};

// Captures of a match fit here unless the pattern has more segments.
constexpr size_t kLocalCaps = 16;

// One match of a pattern against a subject. A call (segment, position)
// always gives the same answer, so failures are remembered: with several
// stars the search stays polynomial instead of trying every combination.
// Nothing here owns memory: the memo is released by captures() before it
// reports anything, so running out of memory never jumps over it.
struct Matcher {
    const char *s;
    size_t n;
    size_t segments;
    bool decode;        // compare literal text with the URL's escapes decoded
    bool caseSensitive;
    bool memoize;
    unsigned char *failed; // bit per (segment, position), made on the first failure
    bool exhausted;        // the memo could not be had: the match is abandoned
    Cap *caps;             // in reverse order, room for segments + 1
    size_t ncaps;

    // Characters of the URL consumed by the literal text, or -1.
    long literal(const HTPattern *seg, size_t pos) const
    {
        size_t i = pos;
        for (int k = 0; k < seg->length; ++k) {
            const unsigned char c = static_cast<unsigned char>(seg->text[k]);
            if (i < n && same_char(static_cast<unsigned char>(s[i]), c, caseSensitive)) {
                ++i;
                continue;
            }
            if (!decode || i >= n)
                return -1;
            const int e = escape_at(s, i);
            if (e < 0 || !same_char(static_cast<unsigned char>(e), c, caseSensitive))
                return -1;
            i += 3;
        }
        return static_cast<long>(i - pos);
    }

    size_t step(size_t pos) const { return decode && escape_at(s, pos) >= 0 ? 3 : 1; }

    size_t memo_bytes() const { return ((segments + 1) * (n + 1) + 7) / 8; }

    bool run(const HTPattern *seg, size_t si, size_t pos)
    {
        if (exhausted)
            return false;
        const size_t key = si * (n + 1) + pos;
        if (memoize && failed != nullptr && (failed[key / 8] >> (key % 8) & 1))
            return false;
        const bool ok = body(seg, si, pos);
        if (!ok && memoize && !exhausted) {
            if (failed == nullptr) {
                failed = static_cast<unsigned char *>(HTAlloc_calloc(memo_bytes(), 1));
                if (failed == nullptr) {
                    exhausted = true;
                    return false;
                }
            }
            failed[key / 8] = static_cast<unsigned char>(failed[key / 8] | 1u << (key % 8));
        }
        return ok;
    }

    void capture(size_t pos, size_t len) { caps[ncaps++] = Cap{pos, len}; }

    bool body(const HTPattern *seg, size_t si, size_t pos)
    {
        if (seg == nullptr) {
            if (pos != n)
                return false;
            capture(pos, 0);
            return true;
        }
        const bool ud = !decode && user_dir(s + pos);
        if (ud && !(seg->length > 0 && user_dir(seg->text)))
            return false;
        if (!seg->wild) {
            const long k = literal(seg, pos);
            return k >= 0 && run(seg->next, si + 1, pos + static_cast<size_t>(k));
        }
        if (seg->length == 0) {
            capture(pos, n - pos);
            return true;
        }
        for (size_t p = pos; p < n; p += step(p)) {
            const long k = literal(seg, p);
            if (k >= 0 && run(seg->next, si + 1, p + static_cast<size_t>(k))) {
                capture(pos, p - pos);
                return true;
            }
            if (exhausted)
                return false;
        }
        return false;
    }

    HTPatternCapture *result(HTThdGlobals *pool) const
    {
        HTPatternCapture *head = nullptr;
        for (size_t i = 0; i < ncaps; ++i) { // reverse order: build from the back
            auto *node = static_cast<HTPatternCapture *>(HTMemPoolAlloc(sizeof(HTPatternCapture), pool));
            node->text = HTMemPoolStrdup_len(s + caps[i].pos, caps[i].len, pool);
            node->next = head;
            head = node;
        }
        return head;
    }
};

HTPatternCapture *captures(const HTPattern *p, const char *subject, bool decode, bool cs,
                           HTThdGlobals *pool)
{
    if (p == nullptr || subject == nullptr)
        return nullptr;
    size_t segments = 0;
    int wildText = 0;
    for (const HTPattern *q = p; q; q = q->next) {
        ++segments;
        wildText += q->wild && q->length > 0;
    }
    // A successful match records at most one capture per segment, and one
    // for the end.
    Cap local[kLocalCaps];
    Cap *caps = segments + 1 <= kLocalCaps
                    ? local
                    : static_cast<Cap *>(HTMemPoolAlloc(sizeof(Cap) * (segments + 1), pool));
    Matcher m{subject, std::strlen(subject), segments, decode, cs, wildText >= 2, nullptr, false,
              caps, 0};
    const bool ok = m.run(p, 0, 0);
    HTAlloc_free(m.failed);
    if (m.exhausted)
        out_of_memory("HTWild", "HTPattern_match", __LINE__, m.memo_bytes());
    if (!ok)
        return nullptr;
    return m.result(pool);
}

char *substitute(const HTPattern *tmpl, const HTPatternCapture *caps, const char *subject,
                 HTThdGlobals *pool)
{
    if (caps == nullptr)
        return nullptr;
    if (tmpl == nullptr)
        return HTMemPoolStrdup(subject, pool);
    return HTPattern_replace(tmpl, caps, pool);
}

} // namespace

// ---- Patterns ------------------------------------------------------------------------

namespace {

// Length of the literal run at p (up to an unescaped "*" or the end), as
// stored: an escape counts once, a "\\" at the very end stands for a line
// feed. *end is where the run stops.
size_t literal_run(const char *p, const char **end)
{
    size_t len = 0;
    while (*p != '\0' && *p != '*') {
        p += (p[0] == '\\' && p[1] != '\0') ? 2 : 1;
        ++len;
    }
    *end = p;
    return len;
}

void copy_run(const char *p, const char *end, char *out)
{
    while (p < end) {
        if (*p == '\\') {
            *out++ = p[1] == '\0' ? '\n' : p[1];
            p += p[1] == '\0' ? 1 : 2;
        } else {
            *out++ = *p++;
        }
    }
    *out = '\0';
}

} // namespace

extern "C" HTPattern *HTPattern_new(const char *text) noexcept
{
    if (text == nullptr || *text == '\0')
        return nullptr;
    HTPattern *head = nullptr, **tail = &head;
    bool wild = false; // consecutive stars act as one
    const char *p = text;
    for (;;) {
        while (*p == '*') {
            wild = true;
            ++p;
        }
        if (*p == '\0' && !wild)
            break;
        const char *end;
        const size_t len = literal_run(p, &end);
        auto *seg = static_cast<HTPattern *>(HTAlloc_calloc(1, sizeof(HTPattern)));
        char *t = seg ? static_cast<char *>(HTAlloc_malloc(len + 1)) : nullptr;
        if (t == nullptr) {
            // The segments made so far go with the failure.
            HTAlloc_free(seg);
            HTPattern_free(head);
            out_of_memory("HTWild", "HTPattern_new", __LINE__, sizeof(HTPattern) + len + 1);
        }
        copy_run(p, end, t);
        seg->wild = wild;
        seg->text = t;
        seg->length = static_cast<int>(len);
        *tail = seg;
        tail = &seg->next;
        if (*end == '\0')
            break;
        p = end;
        wild = false;
    }
    return head;
}

extern "C" void HTPattern_free(HTPattern *pattern) noexcept
{
    while (pattern) {
        HTPattern *next = pattern->next;
        HTAlloc_free(pattern->text);
        HTAlloc_free(pattern);
        pattern = next;
    }
}

extern "C" HTPatternCapture *HTPattern_captures(const HTPattern *pattern, const char *subject,
                                               int caseSensitive, HTThdGlobals *pool) noexcept
{
    return captures(pattern, subject, false, caseSensitive != 0, pool);
}

extern "C" char *HTPattern_match(const HTPattern *pattern, const HTPattern *tmpl,
                                 const char *subject, int caseSensitive, HTThdGlobals *pool) noexcept
{
    return substitute(tmpl, captures(pattern, subject, false, caseSensitive != 0, pool), subject,
                      pool);
}

extern "C" char *HTPattern_url_match(const HTPattern *pattern, const HTPattern *tmpl,
                                     const char *url, HTThdGlobals *pool) noexcept
{
    return substitute(tmpl, captures(pattern, url, true, true, pool), url, pool);
}

extern "C" char *HTPattern_url_matchEx(const HTPattern *pattern, const HTPattern *tmpl,
                                       const char *url, int caseSensitive, HTThdGlobals *pool) noexcept
{
    return substitute(tmpl, captures(pattern, url, true, caseSensitive != 0, pool), url, pool);
}

extern "C" char *HTPattern_replace(const HTPattern *tmpl, const HTPatternCapture *caps,
                                   HTThdGlobals *pool) noexcept
{
    size_t len = 0;
    const HTPatternCapture *c = caps;
    for (const HTPattern *t = tmpl; t; t = t->next) {
        if (t->wild && c) {
            len += c->text ? std::strlen(c->text) : 0;
            c = c->next;
        }
        len += static_cast<size_t>(t->length);
    }
    char *out = static_cast<char *>(HTMemPoolAlloc(len + 1, pool));
    char *w = out;
    c = caps;
    for (const HTPattern *t = tmpl; t; t = t->next) {
        if (t->wild && c) {
            if (c->text) {
                const size_t k = std::strlen(c->text);
                std::memcpy(w, c->text, k);
                w += k;
            }
            c = c->next;
        }
        std::memcpy(w, t->text, static_cast<size_t>(t->length));
        w += t->length;
    }
    *w = '\0';
    return out;
}

extern "C" const char *HTPattern_firstWild(const HTPattern *pattern, const char *subject) noexcept
{
    if (pattern == nullptr || subject == nullptr)
        return nullptr;
    if (pattern->wild)
        return subject;
    if (pattern->next)
        return subject + pattern->length;
    return nullptr;
}

extern "C" char *HTPattern_stringitizeThis(const HTPattern *segment, char *text) noexcept
{
    const size_t old = text ? std::strlen(text) : 0;
    size_t len = old;
    for (const HTPattern *g = segment; g; g = g->next)
        len += (g->wild ? 1 : 0) + static_cast<size_t>(g->length);
    // On failure the caller's text is untouched and still the caller's.
    char *out = static_cast<char *>(HTAlloc_realloc(text, len + 1));
    if (out == nullptr)
        out_of_memory("HTWild", "HTPattern_stringitize", __LINE__, len + 1);
    char *w = out + old;
    for (const HTPattern *g = segment; g; g = g->next) {
        if (g->wild)
            *w++ = '*';
        std::memcpy(w, g->text, static_cast<size_t>(g->length));
        w += g->length;
    }
    *w = '\0';
    return out;
}

extern "C" char *HTPattern_stringitize(const HTPattern *pattern) noexcept
{
    return HTPattern_stringitizeThis(pattern, nullptr);
}

// ---- Rule trees ----------------------------------------------------------------------
//
// Building is C++ work under ht::fallible: every allocation throws
// std::bad_alloc when it fails, the guards below take the half-built nodes
// apart on the way out, and only then, with nothing alive, does the
// exported function report the failure.

namespace {

bool trace_config() { return HT_TRACE_ON(HT_TRACE_CONFIG); }
bool trace_tcp() { return HT_TRACE_ON(HT_TRACE_TCP); }

[[noreturn]] void tree_out_of_memory(const char *function)
{
    if (trace_config())
        tfprintf(stderr, "out of memory!!! in HTHashRuleNodes");
    out_of_memory("HTWild", function, __LINE__, sizeof(HTRuleNode));
}

void *tree_alloc(size_t size)
{
    void *p = HTAlloc_calloc(1, size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

char *tree_strndup(const char *s, size_t n)
{
    auto *p = static_cast<char *>(tree_alloc(n + 1));
    std::memcpy(p, s, n);
    return p;
}

// Owns a node until it is complete; a node is consistent for
// HTDestroyRuleTree at every step of its building.
struct NodeGuard {
    HTRuleNode *node;
    ~NodeGuard() { HTDestroyRuleTree(node, 0); }
    HTRuleNode *release()
    {
        HTRuleNode *n = node;
        node = nullptr;
        return n;
    }
};

struct LeavesGuard {
    HTRuleNode *leaves;
    int count;
    ~LeavesGuard()
    {
        if (leaves == nullptr)
            return;
        for (int i = 0; i < count; ++i)
            HTAlloc_free(leaves[i].prefix);
        HTAlloc_free(leaves);
    }
};

void init_leaf(HTRuleNode *node, void *owner, HTPatternRule *rule, void *value)
{
    node->prefix = tree_strndup("", 0);
    node->leaf = rule;
    node->groupSize = 1;
    node->value = value;
    node->owner = owner;
    node->minRuleID = rule->ruleID;
}

HTRuleNode *build_leaves(void *owner, HTPatternRule **rules, int count, int ruleCount, void *value)
{
    if (ruleCount <= 0)
        return nullptr;
    LeavesGuard guard{static_cast<HTRuleNode *>(
                          tree_alloc(sizeof(HTRuleNode) * static_cast<size_t>(ruleCount))),
                      ruleCount};
    int k = 0;
    for (int i = 0; i < count && k < ruleCount; ++i) {
        if (rules[i] == nullptr || rules[i]->pattern == nullptr)
            continue;
        init_leaf(&guard.leaves[k], owner, rules[i], value);
        if (trace_config())
            tfprintf(stderr, "RULEMATCH... Create leaf node for rule %d for addr %s port %d.\n",
                     rules[i]->ruleID, rules[i]->address ? rules[i]->address : "-",
                     rules[i]->port);
        ++k;
    }
    HTRuleNode *leaves = guard.leaves;
    guard.leaves = nullptr;
    return leaves;
}

HTRuleNode *build_tree(void *owner, HTPatternRule **rules, int count, int start, void *value,
                       void *extra)
{
    ht::vector<HTPatternRule *> live;
    for (int i = 0; i < count; ++i)
        if (rules[i] != nullptr && rules[i]->pattern != nullptr)
            live.push_back(rules[i]);
    if (live.empty())
        return nullptr;

    // The common prefix from `start`: up to and including a "*" or the end,
    // or up to the first position where the patterns differ.
    size_t pos = static_cast<size_t>(start);
    bool ended = false;
    for (;;) {
        const char c = live[0]->pattern[pos];
        bool same = true;
        for (const HTPatternRule *r : live)
            same = same && r->pattern[pos] == c;
        if (!same)
            break;
        if (c == '\0') {
            ended = true;
            break;
        }
        ++pos;
        if (c == '*')
            break;
    }
    NodeGuard guard{static_cast<HTRuleNode *>(tree_alloc(sizeof(HTRuleNode)))};
    HTRuleNode *node = guard.node;
    node->groupSize = static_cast<int>(live.size());
    node->value = value;
    node->owner = owner;
    node->prefix = tree_strndup(live[0]->pattern + start, pos - static_cast<size_t>(start));
    node->minRuleID = INT32_MAX;
    for (const HTPatternRule *r : live)
        if (r->ruleID < node->minRuleID)
            node->minRuleID = r->ruleID;
    if (trace_config())
        tfprintf(stderr, "RULEMATCH... PREFIX=\"%s\"\n", node->prefix);

    if (ended) {
        if (live.size() == 1) {
            node->leaf = live[0];
            if (trace_config())
                tfprintf(stderr, "RULEMATCH... Create leaf node with rule %d pattern %s.\n",
                         live[0]->ruleID, live[0]->pattern);
        } else {
            if (trace_config())
                tfprintf(stderr, "RULEMATCH... Create %d leaf nodes for same pattern %s.\n",
                         node->groupSize, live[0]->pattern);
            node->leaf = build_leaves(node, live.data(), node->groupSize, node->groupSize, value);
        }
        return guard.release();
    }

    ht::string next;
    for (const HTPatternRule *r : live)
        if (next.find(r->pattern[pos]) == ht::string::npos)
            next += r->pattern[pos]; // a pattern ending here adds character 0
    node->nextChars = tree_strndup(next.data(), next.size());
    if (trace_config()) {
        ht::string shown = next;
        for (char &c : shown)
            if (c == '\0')
                c = ' ';
        tfprintf(stderr, "RULEMATCH... NEXTCHAR SET=\"%s\" groupSize = %d\n", shown.c_str(),
                 node->groupSize);
    }
    node->children = static_cast<HTRuleNode **>(tree_alloc(sizeof(HTRuleNode *) * next.size()));
    // Counted only now that the children array exists: the guard may walk it.
    node->nextCharCount = static_cast<int>(next.size());
    ht::vector<HTPatternRule *> subset(static_cast<size_t>(count));
    for (size_t k = 0; k < next.size(); ++k) {
        for (int i = 0; i < count; ++i) {
            HTPatternRule *r = rules[i];
            subset[static_cast<size_t>(i)] =
                (r && r->pattern && r->pattern[pos] == next[k]) ? r : nullptr;
        }
        node->children[k] =
            build_tree(node, subset.data(), count, static_cast<int>(pos), value, extra);
    }
    return guard.release();
}

} // namespace

extern "C" HTRuleNode *HTArrayRuleTreeLeafNodes(void *owner, HTPatternRule **rules, int count,
                                                int ruleCount, void *value) noexcept
{
    HTRuleNode *leaves = nullptr;
    if (!ht::fallible([&] { leaves = build_leaves(owner, rules, count, ruleCount, value); }))
        tree_out_of_memory("HTArrayRuleTreeLeafNodes");
    return leaves;
}

extern "C" HTRuleNode *HTCreateRuleTree(void *owner, HTPatternRule **rules, int count, int start,
                                        void *value, void *extra) noexcept
{
    HTRuleNode *tree = nullptr;
    if (!ht::fallible([&] { tree = build_tree(owner, rules, count, start, value, extra); }))
        tree_out_of_memory("HTCreateRuleTree");
    return tree;
}

extern "C" void HTDestroyRuleTree(HTRuleNode *tree, int flag) noexcept
{
    if (tree == nullptr)
        return;
    if (tree->nextCharCount == 0) {
        if (HT_TRACE_ON(HT_TRACE_CONFIG))
            tfprintf(stderr, "RULEMATCH... free      leaf node[0x%lx, ruleID=%d].\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(tree)), tree->minRuleID);
        // A node still being built may have no leaves yet.
        if (tree->groupSize > 1 && tree->leaf != nullptr) {
            auto *leaves = static_cast<HTRuleNode *>(tree->leaf);
            for (int i = 0; i < tree->groupSize; ++i)
                HTAlloc_free(leaves[i].prefix);
            HTAlloc_free(leaves);
        }
    } else {
        if (HT_TRACE_ON(HT_TRACE_CONFIG))
            tfprintf(stderr,
                     "RULEMATCH... free none-leaf node[0x%lx, groupSize=%d, nextCharSetSize=%d, prefix=%s]\n",
                     static_cast<unsigned long>(reinterpret_cast<uintptr_t>(tree)), tree->groupSize,
                     tree->nextCharCount, tree->prefix);
        for (int k = 0; k < tree->nextCharCount; ++k)
            HTDestroyRuleTree(tree->children[k], flag);
    }
    HTAlloc_free(tree->children);
    HTAlloc_free(tree->nextChars);
    HTAlloc_free(tree->prefix);
    HTAlloc_free(tree);
}

namespace {

// The search behind rulenode_match: the rule with the smallest number (at
// least `limit`, below `bound`) that matches the subject from `pos` under a
// node, with its captures. Every alternative (each character after a "*",
// each place it occurs, the literal child and the "*" child) is tried, and a
// subtree whose smallest rule number cannot beat the best found so far is
// skipped, so the answer is the one a scan of all rules in number order gives.
// Captures of a candidate match: a list in subject order, carved from the
// pool, shared by the candidates that extend it, so that no search frame
// owns memory.
struct CapNode {
    size_t pos;
    size_t len;
    const CapNode *next;
};

struct TreeSearch {
    const char *s;
    size_t n;
    const char *address;
    int port;
    bool exact;
    int32_t limit;
    HTThdGlobals *pool;

    const CapNode *cap(size_t pos, size_t len, const CapNode *next) const
    {
        auto *c = static_cast<CapNode *>(HTMemPoolAlloc(sizeof(CapNode), pool));
        *c = CapNode{pos, len, next};
        return c;
    }

    bool eq(char a, char b) const
    {
        return same_char(static_cast<unsigned char>(a), static_cast<unsigned char>(b), exact);
    }

    bool qualifies(const HTPatternRule *r) const
    {
        if (r->address != nullptr && (address == nullptr || std::strcmp(r->address, address) != 0)) {
            if (trace_tcp())
                tfprintf(stderr, "RULEMATCH... addr not match.\n");
            return false;
        }
        if (r->port != 0 && r->port != port) {
            if (trace_tcp())
                tfprintf(stderr, "RULEMATCH... rule port=%d:incoming port =%d, not matched.\n",
                         r->port, port);
            return false;
        }
        return true;
    }

    const HTPatternRule *leaf(const HTRuleNode *node, int64_t bound) const
    {
        if (node->groupSize == 1) {
            auto *r = static_cast<const HTPatternRule *>(node->leaf);
            if (r->ruleID < limit) {
                if (trace_tcp())
                    tfprintf(stderr, "RULEMATCH... current rule ID %d > %d, drop the rule.\n",
                             limit, r->ruleID);
                return nullptr;
            }
            if (r->ruleID >= bound || !qualifies(r))
                return nullptr;
            if (trace_tcp())
                tfprintf(stderr, "RULEMATCH... got rule %d being matched.\n", r->ruleID);
            return r;
        }
        const HTPatternRule *best = nullptr;
        auto *leaves = static_cast<const HTRuleNode *>(node->leaf);
        for (int i = 0; i < node->groupSize; ++i) {
            auto *r = static_cast<const HTPatternRule *>(leaves[i].leaf);
            if (r->ruleID < limit || r->ruleID >= bound || (best && r->ruleID >= best->ruleID))
                continue;
            if (r->port != 0 && r->port != port)
                continue;
            if (r->address != nullptr && (address == nullptr || std::strcmp(r->address, address) != 0))
                continue;
            best = r;
        }
        if (trace_tcp()) {
            if (best)
                tfprintf(stderr,
                         best->address ? "RULEMATCH... got candidate rule %d matched [addr[port]].\n"
                                       : "RULEMATCH... got candidate rule %d matched [port].\n",
                         best->ruleID);
            else
                tfprintf(stderr, "RULEMATCH... tried all possible rules, no match!!!!\n");
        }
        return best;
    }

    const HTPatternRule *search(const HTRuleNode *node, size_t pos, int64_t bound,
                                const CapNode *&caps) const
    {
        if (node == nullptr || node->minRuleID >= bound)
            return nullptr;
        if (trace_tcp())
            tfprintf(stderr,
                     "RULEMATCH... Trying \"%s\" on node[prefix = %s, nextcharsetsize=%d, groupSize=%d] with ruleID > %d\n",
                     s + pos, node->prefix, node->nextCharCount, node->groupSize, limit);
        for (const char *p = node->prefix; *p; ++p) {
            if (*p == '*')
                return star(node, pos, bound, caps);
            if (pos >= n || !eq(s[pos], *p))
                return nullptr;
            ++pos;
        }
        if (node->nextCharCount == 0) {
            if (pos != n)
                return nullptr;
            const HTPatternRule *r = leaf(node, bound);
            if (r)
                caps = cap(pos, 0, nullptr);
            return r;
        }
        // The literal children first: on equal numbers the literal match wins.
        const HTPatternRule *best = nullptr;
        for (int pass = 0; pass < 2; ++pass) {
            for (int k = 0; k < node->nextCharCount; ++k) {
                const char c = node->nextChars[k];
                const bool isStar = c == '*';
                if ((pass == 0) == isStar)
                    continue;
                if (!isStar && !(pos < n ? eq(s[pos], c) : c == '\0'))
                    continue;
                const CapNode *tmp = nullptr;
                const HTPatternRule *r = search(node->children[k], pos, bound, tmp);
                if (r && r->ruleID < bound) {
                    if (best && trace_tcp())
                        tfprintf(stderr,
                                 "RULEMATCH... rule %d will be discarded, for it's greater than rule %d.\n",
                                 best->ruleID, r->ruleID);
                    best = r;
                    bound = r->ruleID;
                    caps = tmp;
                }
            }
        }
        return best;
    }

    // The prefix ends with "*": each character that may follow it, at each
    // place it occurs in the rest of the subject (the end counts as 0).
    const HTPatternRule *star(const HTRuleNode *node, size_t pos, int64_t bound,
                              const CapNode *&caps) const
    {
        const HTPatternRule *best = nullptr;
        for (int k = 0; k < node->nextCharCount; ++k) {
            const char c = node->nextChars[k];
            const HTRuleNode *child = node->children[k];
            for (size_t h = pos; h <= n; ++h) {
                if (child == nullptr || child->minRuleID >= bound)
                    break;
                if (h == n ? c != '\0' : (c == '\0' || !eq(s[h], c)))
                    continue;
                const CapNode *tmp = nullptr;
                const HTPatternRule *r = search(child, h, bound, tmp);
                if (r && r->ruleID < bound) {
                    best = r;
                    bound = r->ruleID;
                    caps = cap(pos, h - pos, tmp);
                }
            }
        }
        return best;
    }
};

} // namespace

extern "C" HTPatternCapture *rulenode_match(const HTRuleNode *node, const char *subject,
                                            HTPatternRule **best, const char *address, int port,
                                            int caseFlag, HTThdGlobals *pool) noexcept
{
    if (node == nullptr || subject == nullptr)
        return nullptr;
    const TreeSearch ts{subject, std::strlen(subject), address, port, caseFlag != 0,
                        (best && *best) ? (*best)->ruleID : -1, pool};
    const CapNode *caps = nullptr;
    const HTPatternRule *r = ts.search(node, 0, INT64_MAX, caps);
    if (r == nullptr)
        return nullptr;
    if (best)
        *best = const_cast<HTPatternRule *>(r);
    HTPatternCapture *head = nullptr, **tail = &head;
    for (const CapNode *c = caps; c != nullptr; c = c->next) {
        auto *cn = static_cast<HTPatternCapture *>(HTMemPoolAlloc(sizeof(HTPatternCapture), pool));
        cn->text = HTMemPoolStrdup_len(subject + c->pos, c->len, pool);
        cn->next = nullptr;
        *tail = cn;
        tail = &cn->next;
    }
    return head;
}

extern "C" char *HTPatternGroup_match(const HTRuleNode *tree, HTPatternRule **ruleInOut,
                                      const char *subject, const char *address, int port,
                                      int caseFlag, HTThdGlobals *pool) noexcept
{
    HTPatternRule *rule = ruleInOut ? *ruleInOut : nullptr;
    HTPatternCapture *caps = rulenode_match(tree, subject, &rule, address, port, caseFlag, pool);
    if (caps == nullptr) {
        if (ruleInOut)
            *ruleInOut = nullptr;
        return nullptr;
    }
    if (ruleInOut)
        *ruleInOut = rule;
    return substitute(rule->replacement, caps, subject, pool);
}

// ---- Address patterns ----------------------------------------------------------------

namespace {

// Decimal digits, saturating far above any byte value.
long read_number(const char *&p)
{
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000)
            v = v * 10 + (*p - '0');
        ++p;
    }
    return v;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

} // namespace

namespace {

// One part at p: a number, or a bracketed list of numbers and ranges. The
// ranges go to `out` when it is given (the second, filling pass, which
// repeats no warning). Returns their count, or -1 for a bad part.
int parse_part(const char *&p, HTNumRange *out, bool tracing)
{
    if (is_digit(*p)) {
        const long v = read_number(p);
        if (v > 255) {
            if (tracing)
                tfprintf(stderr, "Warning: %d is not a correct ip byte\n", static_cast<int>(v));
            return -1;
        }
        if (out)
            out[0] = HTNumRange{static_cast<int32_t>(v), static_cast<int32_t>(v)};
        return 1;
    }
    if (*p != '[')
        return -1;
    ++p;
    int count = 0;
    for (;;) {
        if (!is_digit(*p))
            return -1;
        long lo = read_number(p), hi = lo;
        if (*p == '-') {
            ++p;
            if (!is_digit(*p))
                return -1;
            hi = read_number(p);
        }
        if (lo > 255 || hi > 255) {
            if (tracing)
                tfprintf(stderr, "Warning: %d or %d is not a correct ip byte\n",
                         static_cast<int>(lo), static_cast<int>(hi));
            return -1;
        }
        if (lo > hi)
            std::swap(lo, hi);
        if (out)
            out[count] = HTNumRange{static_cast<int32_t>(lo), static_cast<int32_t>(hi)};
        ++count;
        if (*p == ',') {
            ++p;
            continue;
        }
        if (*p == ']') {
            ++p;
            return count;
        }
        return -1;
    }
}

} // namespace

extern "C" HTRanNumPat *HTRanNumPat_new(const char *text) noexcept
{
    if (text == nullptr)
        return nullptr;
    // First the whole text is checked and each part's ranges counted, so
    // that the parts are then made at their exact sizes.
    int counts[4];
    int parts = 0;
    const char *p = text;
    const bool tracing = HT_TRACE_ON(HT_TRACE_USER);
    for (;;) {
        const int c = parse_part(p, nullptr, tracing);
        if (c < 0)
            return nullptr;
        counts[parts++] = c;
        if (*p == '.' && parts < 4) {
            ++p;
            continue;
        }
        if (*p != '\0' || parts != 4)
            return nullptr;
        break;
    }
    HTRanNumPat *head = nullptr, **tail = &head;
    p = text;
    for (int i = 0; i < 4; ++i) {
        const size_t bytes = sizeof(HTNumRange) * static_cast<size_t>(counts[i]);
        auto *part = static_cast<HTRanNumPat *>(HTAlloc_calloc(1, sizeof(HTRanNumPat)));
        auto *arr = part ? static_cast<HTNumRange *>(HTAlloc_malloc(bytes)) : nullptr;
        if (arr == nullptr) {
            HTAlloc_free(part);
            HTRanNumPat_free(head);
            out_of_memory("HTWild", "HTRanNumPat_new", __LINE__, bytes);
        }
        parse_part(p, arr, false);
        ++p; // the "." (or, after the last part, the end)
        part->ranges = arr;
        part->count = counts[i];
        *tail = part;
        tail = &part->next;
    }
    return head;
}

extern "C" int HTRanNumPat_match(const HTRanNumPat *pattern, const char *address) noexcept
{
    if (pattern == nullptr || address == nullptr)
        return 0;
    const char *p = address;
    const HTRanNumPat *part = pattern;
    for (int i = 0; i < 4; ++i) {
        if (part == nullptr || !is_digit(*p))
            return 0;
        const long v = read_number(p);
        if (v > 255)
            return 0;
        bool in = false;
        for (int k = 0; k < part->count && !in; ++k)
            in = v >= part->ranges[k].low && v <= part->ranges[k].high;
        if (!in)
            return 0;
        if (i < 3) {
            if (*p != '.')
                return 0;
            ++p;
        }
        part = part->next;
    }
    return *p == '\0' ? 1 : 0;
}

extern "C" void HTRanNumPat_free(HTRanNumPat *pattern) noexcept
{
    while (pattern) {
        HTRanNumPat *next = pattern->next;
        HTAlloc_free(pattern->ranges);
        HTAlloc_free(pattern);
        pattern = next;
    }
}
