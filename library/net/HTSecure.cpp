// HTSecure: the secure-socket wrapper, forwarding to the installed backend.

#include "HTSecure.h"

#include <atomic>
#include <cerrno>

namespace {

std::atomic<const HTSecureBackend *> backend{nullptr};

const HTSecureBackend *current()
{
    return backend.load(std::memory_order_acquire);
}

} // namespace

extern "C" int HTSecure_setBackend(const HTSecureBackend *b) noexcept
{
    backend.store(b, std::memory_order_release);
    return 0;
}

extern "C" int HTSecure_startClient(HTSocket *s, const char *host, HTRequest *request,
                                    const char **reason) noexcept
{
    const HTSecureBackend *b = current();
    const char *why = HT_SECURE_NOT_AVAILABLE;
    int rc = -1;
    if (s == nullptr || s->socket < 0)
        why = "no connected socket";
    else if (b != nullptr && b->start_client != nullptr)
        rc = b->start_client(s, host, request, &why);
    if (rc != 0 && reason != nullptr)
        *reason = why ? why : HT_SECURE_NOT_AVAILABLE;
    return rc == 0 ? 0 : -1;
}

extern "C" int HTSecure_read(HTSocket *s, void *buffer, int length, HTRequest *request) noexcept
{
    const HTSecureBackend *b = current();
    if (s == nullptr || s->secure == 0 || b == nullptr || b->read == nullptr) {
        errno = ENOTCONN;
        return -1;
    }
    return b->read(s, buffer, length, request);
}

extern "C" int HTSecure_write(HTSocket *s, const void *buffer, int length, HTRequest *request) noexcept
{
    const HTSecureBackend *b = current();
    if (s == nullptr || s->secure == 0 || b == nullptr || b->write == nullptr) {
        errno = ENOTCONN;
        return -1;
    }
    return b->write(s, buffer, length, request);
}

extern "C" int HTSecure_close(HTSocket *s, HTRequest *request) noexcept
{
    if (s == nullptr || s->secure == 0)
        return -1;
    const HTSecureBackend *b = current();
    int rc = 0;
    if (b != nullptr && b->close != nullptr)
        rc = b->close(s, request);
    s->secure = 0;
    return rc;
}
