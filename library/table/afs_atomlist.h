/*
 * afs_atomlist: allocator of fixed-size atoms carved from larger blocks.
 *
 * Released atoms are chained for reuse through their first word; blocks are
 * chained through their last word and released only when the list is
 * destroyed. No locking: the owner serialises use.
 */
#ifndef AFS_ATOMLIST_H
#define AFS_ATOMLIST_H

#include "htexport.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void *(*afs_allocate_fn)(size_t size);
typedef void (*afs_release_fn)(void *pointer, size_t size);

typedef struct afs_atomlist {
    size_t atom_size;      /* at least a pointer, a multiple of the pointer size */
    size_t block_size;
    size_t atoms_per_block;
    afs_allocate_fn allocate;
    afs_release_fn release;
    void *free_atoms;
    void *blocks;
} afs_atomlist;

/*
 * Null allocate/release mean malloc/free. Null when a block cannot hold one
 * atom and the link word, or on allocation failure.
 */
HT_EXPORT afs_atomlist *afs_atomlist_create(size_t atom_size, size_t block_size,
                                            afs_allocate_fn allocate, afs_release_fn release) HT_NOEXCEPT;
/* A free atom (a new block when none is left), or null. */
HT_EXPORT void *afs_atomlist_get(afs_atomlist *list) HT_NOEXCEPT;
HT_EXPORT void afs_atomlist_put(afs_atomlist *list, void *atom) HT_NOEXCEPT;
/* Releases every block, and the list. */
HT_EXPORT void afs_atomlist_destroy(afs_atomlist *list) HT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
