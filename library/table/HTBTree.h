/*
 * HTBTree: binary search tree with in-order traversal, not rebalanced.
 *
 * Nodes come from the memory pool of the context given at creation (and are
 * dropped with it), or from the heap when none is given. An object goes to
 * the first subtree when compare(node object, new object) is negative,
 * otherwise (equal objects too) to the second; traversal visits the first
 * subtree, the node, then the second, so with a strcmp-like compare it runs
 * from the greatest object to the smallest. A locked tree holds its mutex
 * for each add, removal and traversal step.
 */
#ifndef HTBTREE_H
#define HTBTREE_H

#include "HTGlobals-t.h"
#include "HTThread.h"
#include "htexport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*HTComparer)(const void *a, const void *b);

typedef struct HTBTElement {
    void *object;
    struct HTBTElement *up;
    struct HTBTElement *first;  /* objects the node's compare puts before the new one */
    struct HTBTElement *second; /* the others */
} HTBTElement;

typedef struct HTBTree {
    HTComparer compare;
    HTThdGlobals *pool; /* null: nodes from the heap */
    int locked;
    pmutex mutex;
    HTBTElement *top;
} HTBTree;

#define HTBTree_object(element) ((element) ? (element)->object : NULL)

HT_EXPORT HTBTree *HTBTree_new(HTComparer compare, int locked, HTThdGlobals *pool) HT_NOEXCEPT;
HT_EXPORT void HTBTree_add(HTBTree *tree, void *object, HTThdGlobals *context) HT_NOEXCEPT;
/* The stored object that compares equal to `object`, or null. */
HT_EXPORT void *HTBTree_find(HTBTree *tree, const void *object) HT_NOEXCEPT;
/* The node after `element` in traversal order; null gives the first node. */
HT_EXPORT HTBTElement *HTBTree_next(HTBTree *tree, HTBTElement *element) HT_NOEXCEPT;
/* Removes the node of the first object that compares equal; returns that object or null. */
HT_EXPORT void *HTBTree_remove(HTBTree *tree, const void *object) HT_NOEXCEPT;
/* Unlinks the node (released when from the heap); returns its object. */
HT_EXPORT void *HTBTree_remove_node(HTBTree *tree, HTBTElement *element) HT_NOEXCEPT;
/* Release the nodes (and, for the "AndObject" forms, free() each object) and the tree. */
HT_EXPORT void HTBTree_free(HTBTree *tree) HT_NOEXCEPT;
HT_EXPORT void HTBTreeAndObject_free(HTBTree *tree) HT_NOEXCEPT;
/* Release a subtree of a heap tree. */
HT_EXPORT void HTBTElement_free(HTBTElement *element) HT_NOEXCEPT;
HT_EXPORT void HTBTElementAndObject_free(HTBTElement *element) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
