#include "HTSockCopy.h"

#include "HTSocket.h"

#include <cerrno>

namespace {

constexpr int kWaitMs = 1000;

bool aborted(const HTRequest *request)
{
    return request != nullptr && __atomic_load_n(&request->abort_flag, __ATOMIC_RELAXED) != 0;
}

} // namespace

extern "C" long long HTSockCopy_toStream(HTSocket *socket, HTStream *stream, HTRequest *request,
                                         HTThdGlobals *) noexcept
{
    if (socket == nullptr || stream == nullptr || stream->isa == nullptr || stream->isa->write == nullptr)
        return HT_COPY_READ_FAILED;
    char block[HT_COPY_BLOCK];
    long long total = 0;
    for (;;) {
        if (aborted(request))
            return HT_COPY_ABORTED;
        socket->error = 0;
        const int r = HTSocket_read(socket, block, sizeof block, request);
        if (r < 0)
            return HT_COPY_READ_FAILED;
        if (r == 0) {
            // The read layer answers 0 both at the end and when a
            // non-blocking socket has nothing yet; only the saved errno tells.
            if (socket->error != EAGAIN)
                return total;
            // A hang-up or error shows in the next read.
            HTSocket_isready(socket, kWaitMs);
            continue;
        }
        if (stream->isa->write(stream, block, r) < 0)
            return HT_COPY_WRITE_FAILED;
        total += r;
    }
}
