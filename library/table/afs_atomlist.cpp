// afs_atomlist: allocator of fixed-size atoms carved from larger blocks.

#include "afs_atomlist.h"

#include "HTAlloc.h"

#include <cstdlib>
#include <cstring>

namespace {

void *heap_allocate(size_t size)
{
    return HTAlloc_malloc(size);
}

void heap_release(void *pointer, size_t)
{
    HTAlloc_free(pointer);
}

// The link of a block sits in its last pointer-sized word.
void **block_link(const afs_atomlist *l, void *block)
{
    return reinterpret_cast<void **>(static_cast<char *>(block) + l->block_size - sizeof(void *));
}

} // namespace

extern "C" afs_atomlist *afs_atomlist_create(size_t atom_size, size_t block_size,
                                             afs_allocate_fn allocate, afs_release_fn release) noexcept
{
    if (allocate == nullptr)
        allocate = heap_allocate;
    if (release == nullptr)
        release = heap_release;
    // An atom holds the free chain's link, and every atom stays aligned for one.
    const size_t word = sizeof(void *);
    if (atom_size < word)
        atom_size = word;
    atom_size = (atom_size + word - 1) / word * word;
    block_size = block_size / word * word;
    if (block_size < atom_size + word)
        return nullptr;
    auto *l = static_cast<afs_atomlist *>(allocate(sizeof(afs_atomlist)));
    if (l == nullptr)
        return nullptr;
    l->atom_size = atom_size;
    l->block_size = block_size;
    l->atoms_per_block = (block_size - word) / atom_size;
    l->allocate = allocate;
    l->release = release;
    l->free_atoms = nullptr;
    l->blocks = nullptr;
    return l;
}

extern "C" void *afs_atomlist_get(afs_atomlist *list) noexcept
{
    if (list == nullptr)
        return nullptr;
    if (list->free_atoms == nullptr) {
        char *block = static_cast<char *>(list->allocate(list->block_size));
        if (block == nullptr)
            return nullptr;
        *block_link(list, block) = list->blocks;
        list->blocks = block;
        for (size_t i = list->atoms_per_block; i-- > 0;) {
            void *atom = block + i * list->atom_size;
            *static_cast<void **>(atom) = list->free_atoms;
            list->free_atoms = atom;
        }
    }
    void *atom = list->free_atoms;
    list->free_atoms = *static_cast<void **>(atom);
    return atom;
}

extern "C" void afs_atomlist_put(afs_atomlist *list, void *atom) noexcept
{
    if (list == nullptr || atom == nullptr)
        return;
    *static_cast<void **>(atom) = list->free_atoms;
    list->free_atoms = atom;
}

extern "C" void afs_atomlist_destroy(afs_atomlist *list) noexcept
{
    if (list == nullptr)
        return;
    for (void *b = list->blocks; b != nullptr;) {
        void *next = *block_link(list, b);
        list->release(b, list->block_size);
        b = next;
    }
    list->release(list, sizeof(afs_atomlist));
}
