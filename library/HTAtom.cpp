// HTAtom: the process-wide table of unique strings.

#include "HTAtom.h"

#include "HTExcept.h"
#include "HTString.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

HTAtom *WWW_PRESENT, *WWW_MIME, *WWW_PRINT, *WWW_UNKNOWN, *WWW_PLAINTEXT, *WWW_HTML, *WWW_BINARY,
    *WWW_POSTSCRIPT, *WWW_RICHTEXT, *WWW_PDF, *WWW_AUDIO, *WWW_BOOK, *WWW_SSI_HTML, *WWW_ENC_7BIT,
    *WWW_ENC_8BIT, *WWW_ENC_BINARY, *WWW_ENC_COMPRESS, *WWW_ENC_EBCDIC, *WWW_MIME_WRAPPER,
    *WWW_HACK_WRAPPER, *WWW_WSRC_CONVERT;

namespace {

// Bucket heads are published with release stores after the atom is complete;
// an atom's fields never change afterwards, so unlocked readers that load a
// head with acquire see whole atoms.
std::atomic<HTAtom *> buckets[HT_ATOM_BUCKETS];
std::mutex insert_lock;
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

extern "C" void HTAtom_Init(void)
{
    std::lock_guard<std::mutex> hold(insert_lock);
    for (auto &b : buckets) {
        HTAtom *a = b.exchange(nullptr, std::memory_order_acq_rel);
        while (a != nullptr) {
            HTAtom *next = a->next;
            a->next = retired;
            retired = a;
            a = next;
        }
    }
}

extern "C" HTAtom *HTAtom_lookup(const char *name, unsigned bucket)
{
    if (name == nullptr || bucket >= HT_ATOM_BUCKETS)
        return nullptr;
    return search(name, bucket);
}

extern "C" HTAtom *HTAtom_hardlookup(const char *name, unsigned bucket)
{
    if (name == nullptr || bucket >= HT_ATOM_BUCKETS)
        return nullptr;
    std::lock_guard<std::mutex> hold(insert_lock);
    if (HTAtom *a = search(name, bucket))
        return a;
    const size_t len = std::strlen(name);
    auto *a = static_cast<HTAtom *>(std::malloc(sizeof(HTAtom)));
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (a == nullptr || copy == nullptr)
        out_of_memory("HTAtom", "HTAtom_for", __LINE__, sizeof(HTAtom) + len + 1);
    std::memcpy(copy, name, len + 1);
    a->name = copy;
    a->length = len;
    a->next = buckets[bucket].load(std::memory_order_relaxed);
    buckets[bucket].store(a, std::memory_order_release);
    return a;
}

extern "C" HTAtom *HTAtom_for(const char *name)
{
    if (name == nullptr)
        return nullptr;
    const unsigned bucket = ElfHash(HT_ATOM_BUCKETS, name);
    if (HTAtom *a = search(name, bucket))
        return a;
    return HTAtom_hardlookup(name, bucket);
}

extern "C" const char *HTAtom_getName(const HTAtom *atom)
{
    return atom ? atom->name : "NULL";
}

extern "C" void HTLoadGlobalAtoms(void)
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
    WWW_SSI_HTML = HTAtom_for("text/x-ssi-html");
    WWW_ENC_7BIT = HTAtom_for("7bit");
    WWW_ENC_8BIT = HTAtom_for("8bit");
    WWW_ENC_BINARY = HTAtom_for("binary");
    WWW_ENC_COMPRESS = HTAtom_for("compress");
    WWW_ENC_EBCDIC = HTAtom_for("ebcdic");
    WWW_MIME_WRAPPER = HTAtom_for("HTMIMEWrapper");
    WWW_HACK_WRAPPER = HTAtom_for("HTHACKWrapper");
    WWW_WSRC_CONVERT = HTAtom_for("HTWSRCConvert");
}
