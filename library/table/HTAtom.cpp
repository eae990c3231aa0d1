// HTAtom: the process-wide table of unique strings.

#include "HTAtom.h"

#include "HTAlloc.h"
#include "HTExcept.h"
#include "HTString.h"
#include "HTThread.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

HTAtom *WWW_PRESENT, *WWW_MIME, *WWW_PRINT, *WWW_UNKNOWN, *WWW_PLAINTEXT, *WWW_HTML, *WWW_BINARY,
    *WWW_POSTSCRIPT, *WWW_RICHTEXT, *WWW_PDF, *WWW_AUDIO, *WWW_BOOK, *WWW_ENC_7BIT,
    *WWW_ENC_8BIT, *WWW_ENC_BINARY, *WWW_ENC_COMPRESS, *WWW_ENC_EBCDIC, *WWW_SSI,
    *HTMIMEWrapper_name, *HTHACKWrapper_name, *HTWSRCConvert_name;

namespace {

// Bucket heads are published with release stores after the atom is complete;
// an atom's fields never change afterwards, so unlocked readers that load a
// head with acquire see whole atoms.
std::atomic<HTAtom *> buckets[HT_ATOM_BUCKETS];
// The table's insertion lock, made at start-up (HTAtom_createLock) or by the
// first insertion. Its own creation is serialised by creationLock.
std::atomic<pmutex> insert_lock{0};
pthread_mutex_t creationLock = PTHREAD_MUTEX_INITIALIZER;

pmutex the_lock() noexcept
{
    pmutex m = insert_lock.load(std::memory_order_acquire);
    if (m == 0 && HTAtom_createLock() == 0)
        m = insert_lock.load(std::memory_order_acquire);
    return m;
}
// Atoms dropped from the table by HTAtom_Init stay reachable here: callers
// may still hold them.
HTAtom *retired = nullptr;

HTAtom *search(const char *name, unsigned bucket)
{
    for (HTAtom *a = buckets[bucket].load(std::memory_order_acquire); a != nullptr; a = a->next)
        if (std::strcmp(a->name, name) == 0)
            return a;
    return nullptr;
}

} // namespace

extern "C" int HTAtom_createLock(void) noexcept
{
    pthread_mutex_lock(&creationLock);
    int result = 0;
    if (insert_lock.load(std::memory_order_relaxed) == 0) {
        const pmutex m = pmutex_create();
        if (m != 0)
            insert_lock.store(m, std::memory_order_release);
        else
            result = -1;
    }
    pthread_mutex_unlock(&creationLock);
    return result;
}

extern "C" void HTAtom_Init(void) noexcept
{
    const pmutex lock = the_lock();
    if (lock != 0)
        pmutex_request(lock);
    for (auto &b : buckets) {
        HTAtom *a = b.exchange(nullptr, std::memory_order_acq_rel);
        while (a != nullptr) {
            HTAtom *next = a->next;
            a->next = retired;
            retired = a;
            a = next;
        }
    }
    if (lock != 0)
        pmutex_release(lock);
}

extern "C" HTAtom *HTAtom_lookup(const char *name, unsigned bucket) noexcept
{
    if (name == nullptr || bucket >= HT_ATOM_BUCKETS)
        return nullptr;
    return search(name, bucket);
}

extern "C" HTAtom *HTAtom_hardlookup(const char *name, unsigned bucket) noexcept
{
    if (name == nullptr || bucket >= HT_ATOM_BUCKETS)
        return nullptr;
    const pmutex lock = the_lock();
    if (lock == 0)
        out_of_memory("HTAtom", "HTAtom_for", __LINE__, sizeof(pthread_mutex_t));
    // Allocated before the lock is taken: out_of_memory must not leave it held.
    const size_t len = std::strlen(name);
    auto *a = static_cast<HTAtom *>(HTAlloc_malloc(sizeof(HTAtom)));
    char *copy = HTAlloc_strndup(name, len);
    if (a == nullptr || copy == nullptr) {
        HTAlloc_free(a);
        HTAlloc_free(copy);
        out_of_memory("HTAtom", "HTAtom_for", __LINE__, sizeof(HTAtom) + len + 1);
    }
    a->name = copy;
    a->length = len;
    pmutex_request(lock);
    HTAtom *found = search(name, bucket);
    if (found == nullptr) {
        a->next = buckets[bucket].load(std::memory_order_relaxed);
        buckets[bucket].store(a, std::memory_order_release);
    }
    pmutex_release(lock);
    if (found != nullptr) {
        HTAlloc_free(copy);
        HTAlloc_free(a);
        return found;
    }
    return a;
}

extern "C" HTAtom *HTAtom_for(const char *name) noexcept
{
    if (name == nullptr)
        return nullptr;
    const unsigned bucket = ElfHash(HT_ATOM_BUCKETS, name);
    if (HTAtom *a = search(name, bucket))
        return a;
    return HTAtom_hardlookup(name, bucket);
}

extern "C" const char *HTAtom_getName(const HTAtom *atom) noexcept
{
    return atom ? atom->name : "NULL";
}

extern "C" void HTLoadGlobalAtoms(void) noexcept
{
    WWW_PRESENT = HTAtom_for("www/present");
    WWW_MIME = HTAtom_for("www/mime");
    WWW_PRINT = HTAtom_for("www/print");
    WWW_UNKNOWN = HTAtom_for("www/unknown");
    WWW_PLAINTEXT = HTAtom_for("text/plain");
    WWW_HTML = HTAtom_for("text/html");
    WWW_BINARY = HTAtom_for("application/octet-stream");
    WWW_POSTSCRIPT = HTAtom_for("application/postscript");
    WWW_RICHTEXT = HTAtom_for("application/rtf");
    WWW_PDF = HTAtom_for("application/pdf");
    WWW_AUDIO = HTAtom_for("audio/basic");
    WWW_BOOK = HTAtom_for("application/book");
    WWW_SSI = HTAtom_for("text/x-ssi-html");
    WWW_ENC_7BIT = HTAtom_for("7bit");
    WWW_ENC_8BIT = HTAtom_for("8bit");
    WWW_ENC_BINARY = HTAtom_for("binary");
    WWW_ENC_COMPRESS = HTAtom_for("compress");
    WWW_ENC_EBCDIC = HTAtom_for("ebcdic");
    HTMIMEWrapper_name = HTAtom_for("HTMIMEWrapper");
    HTHACKWrapper_name = HTAtom_for("HTHACKWrapper");
    HTWSRCConvert_name = HTAtom_for("HTWSRCConvert");
}

#define HT_ATOM_ACCESSORS(name)                                                      \
    extern "C" HTAtom *Get##name(void) noexcept { return __atomic_load_n(&name, __ATOMIC_ACQUIRE); } \
    extern "C" void Set##name(HTAtom *atom) noexcept { __atomic_store_n(&name, atom, __ATOMIC_RELEASE); }

HT_ATOM_ACCESSORS(WWW_HTML)
HT_ATOM_ACCESSORS(WWW_SSI)
HT_ATOM_ACCESSORS(WWW_PDF)
HT_ATOM_ACCESSORS(WWW_PLAINTEXT)
HT_ATOM_ACCESSORS(HTWSRCConvert_name)
HT_ATOM_ACCESSORS(HTHACKWrapper_name)
HT_ATOM_ACCESSORS(HTMIMEWrapper_name)
