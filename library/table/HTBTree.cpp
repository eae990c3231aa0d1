// HTBTree: binary search tree with in-order traversal.

#include "HTBTree.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTMPool.h"

#include <cstdlib>

namespace {

struct TreeLock {
    const HTBTree *t;
    explicit TreeLock(const HTBTree *tree) : t(tree)
    {
        if (t->locked)
            pmutex_request(t->mutex);
    }
    ~TreeLock()
    {
        if (t->locked)
            pmutex_release(t->mutex);
    }
};

HTBTElement *first_of(HTBTElement *e)
{
    while (e != nullptr && e->first != nullptr)
        e = e->first;
    return e;
}

// Subtrees are released without recursion: a degenerate tree is a long chain.
void free_subtree(HTBTElement *e, bool objects, bool heap)
{
    while (e != nullptr) {
        if (e->first != nullptr) {
            e = e->first;
        } else if (e->second != nullptr) {
            e = e->second;
        } else {
            HTBTElement *up = e->up;
            if (up != nullptr) {
                if (up->first == e)
                    up->first = nullptr;
                else
                    up->second = nullptr;
            }
            if (objects)
                HTAlloc_free(e->object);
            if (heap)
                HTAlloc_free(e);
            e = up;
        }
    }
}

// Puts `with` in the place of `node` under node's parent.
void replace_in_parent(HTBTree *t, HTBTElement *node, HTBTElement *with)
{
    if (node->up == nullptr)
        t->top = with;
    else if (node->up->first == node)
        node->up->first = with;
    else
        node->up->second = with;
    if (with != nullptr)
        with->up = node->up;
}

void *unlink_node(HTBTree *t, HTBTElement *node)
{
    if (node->first == nullptr) {
        replace_in_parent(t, node, node->second);
    } else if (node->second == nullptr) {
        replace_in_parent(t, node, node->first);
    } else {
        // The traversal successor takes the node's place.
        HTBTElement *s = first_of(node->second);
        if (s->up != node) {
            replace_in_parent(t, s, s->second);
            s->second = node->second;
            s->second->up = s;
        }
        replace_in_parent(t, node, s);
        s->first = node->first;
        s->first->up = s;
    }
    void *object = node->object;
    if (t->pool == nullptr)
        HTAlloc_free(node);
    return object;
}

HTBTElement *find_node(const HTBTree *t, const void *object)
{
    for (HTBTElement *e = t->top; e != nullptr;) {
        const int c = t->compare(e->object, object);
        if (c == 0)
            return e;
        e = c < 0 ? e->first : e->second;
    }
    return nullptr;
}

} // namespace

extern "C" HTBTree *HTBTree_new(HTComparer compare, int locked, HTThdGlobals *pool) noexcept
{
    HTBTree *t = pool ? static_cast<HTBTree *>(HTMemPoolAlloc(sizeof(HTBTree), pool))
                      : static_cast<HTBTree *>(HTAlloc_malloc(sizeof(HTBTree)));
    if (t == nullptr)
        out_of_memory("HTBTree", "HTBTree_new", __LINE__, sizeof(HTBTree));
    t->compare = compare;
    t->pool = pool;
    t->locked = locked != 0;
    t->mutex = locked ? pmutex_create() : 0;
    if (locked && t->mutex == 0) {
        if (pool == nullptr)
            HTAlloc_free(t);
        out_of_memory("HTBTree", "HTBTree_new", __LINE__, sizeof(pthread_mutex_t));
    }
    t->top = nullptr;
    return t;
}

extern "C" void HTBTree_add(HTBTree *tree, void *object, HTThdGlobals *context) noexcept
{
    (void)context;
    if (tree == nullptr)
        return;
    HTBTElement *n = tree->pool
                         ? static_cast<HTBTElement *>(HTMemPoolAlloc(sizeof(HTBTElement), tree->pool))
                         : static_cast<HTBTElement *>(HTAlloc_malloc(sizeof(HTBTElement)));
    if (n == nullptr)
        out_of_memory("HTBTree", "HTBTree_add", __LINE__, sizeof(HTBTElement));
    n->object = object;
    n->first = n->second = nullptr;
    TreeLock hold(tree);
    HTBTElement *parent = nullptr;
    HTBTElement **link = &tree->top;
    while (*link != nullptr) {
        parent = *link;
        link = tree->compare(parent->object, object) < 0 ? &parent->first : &parent->second;
    }
    n->up = parent;
    *link = n;
}

extern "C" void *HTBTree_find(HTBTree *tree, const void *object) noexcept
{
    if (tree == nullptr)
        return nullptr;
    TreeLock hold(tree);
    HTBTElement *e = find_node(tree, object);
    return e ? e->object : nullptr;
}

extern "C" HTBTElement *HTBTree_next(HTBTree *tree, HTBTElement *element) noexcept
{
    if (tree == nullptr)
        return nullptr;
    TreeLock hold(tree);
    if (element == nullptr)
        return first_of(tree->top);
    if (element->second != nullptr)
        return first_of(element->second);
    HTBTElement *e = element;
    while (e->up != nullptr && e->up->second == e)
        e = e->up;
    return e->up;
}

extern "C" void *HTBTree_remove(HTBTree *tree, const void *object) noexcept
{
    if (tree == nullptr)
        return nullptr;
    TreeLock hold(tree);
    HTBTElement *e = find_node(tree, object);
    return e ? unlink_node(tree, e) : nullptr;
}

extern "C" void *HTBTree_remove_node(HTBTree *tree, HTBTElement *element) noexcept
{
    if (tree == nullptr || element == nullptr)
        return nullptr;
    TreeLock hold(tree);
    return unlink_node(tree, element);
}

namespace {

void free_tree(HTBTree *tree, bool objects)
{
    if (tree == nullptr)
        return;
    free_subtree(tree->top, objects, tree->pool == nullptr);
    tree->top = nullptr;
    if (tree->locked)
        pmutex_destroy(tree->mutex);
    if (tree->pool == nullptr)
        HTAlloc_free(tree);
}

} // namespace

extern "C" void HTBTree_free(HTBTree *tree) noexcept
{
    free_tree(tree, false);
}

extern "C" void HTBTreeAndObject_free(HTBTree *tree) noexcept
{
    free_tree(tree, true);
}

extern "C" void HTBTElement_free(HTBTElement *element) noexcept
{
    if (element != nullptr && element->up != nullptr) {
        // Detach first so that the walk stops at this subtree.
        if (element->up->first == element)
            element->up->first = nullptr;
        else
            element->up->second = nullptr;
        element->up = nullptr;
    }
    free_subtree(element, false, true);
}

extern "C" void HTBTElementAndObject_free(HTBTElement *element) noexcept
{
    if (element != nullptr && element->up != nullptr) {
        if (element->up->first == element)
            element->up->first = nullptr;
        else
            element->up->second = nullptr;
        element->up = nullptr;
    }
    free_subtree(element, true, true);
}
