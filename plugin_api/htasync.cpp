// The latch of asynchronous requests and HTTPD_get_async_handle,
// HTTPD_start_http_req, HTTPD_wait_async_handle, HTTPD_delete_async_handle.

#include "htasync.h"

#include "htapi.h"

#include <cstddef>
#include <cstdint>

namespace plugrt {
namespace {

// pthread_cond_t needs 8 bytes of alignment; pool memory may give only 4
// (the PowerPC pool granule), so the record is placed on an 8-byte boundary.
constexpr std::size_t kLatchAlign = alignof(HTAsyncLatch) > 8 ? alignof(HTAsyncLatch) : 8;

bool latch_traces() noexcept
{
    return traces(kTraceApi);
}

bool valid(const HTAsyncLatch *latch) noexcept
{
    if (latch != nullptr)
        return true;
    HTAPI_TRACE(latch_traces(), " asyncreq: Invalid handle\n");
    return false;
}

// A null latch address: 1, with the call's "given bad handle address" line.
bool latch_given(Frame &f, const void *latch) noexcept
{
    if (latch != nullptr)
        return true;
    HTAPI_TRACE(f.tracing(), "plug-in..... %s() given bad handle address \n", f.api());
    f.finish(HTTPD_FAILURE);
    return false;
}

} // namespace
} // namespace plugrt

using namespace plugrt;

extern "C" PLUGRT_EXPORT void asyncreq_init_handle(HTAsyncLatch **out, void *pool) noexcept
{
    const bool t = latch_traces();
    HTAPI_TRACE(t, ">asyncreq_init\n");
    if (out == nullptr)
        return;
    auto alloc = entry<HTCB_POOL_ALLOC>();
    void *raw = alloc ? alloc(sizeof(HTAsyncLatch) + kLatchAlign - 1, pool) : nullptr;
    if (raw == nullptr) {
        *out = nullptr;
        HTAPI_TRACE(t, " asyncreq_init: No memory failure\n");
        return;
    }
    const uintptr_t at = (reinterpret_cast<uintptr_t>(raw) + kLatchAlign - 1) & ~(uintptr_t{kLatchAlign} - 1);
    auto *latch = reinterpret_cast<HTAsyncLatch *>(at);
    pthread_mutex_init(&latch->mutex, nullptr);
    pthread_cond_init(&latch->changed, nullptr);
    latch->count = 0;
    *out = latch;
    HTAPI_TRACE(t, "<asyncreq_init hndl\n");
}

extern "C" PLUGRT_EXPORT void asyncreq_start_req(HTAsyncLatch *latch) noexcept
{
    const bool t = latch_traces();
    HTAPI_TRACE(t, ">asyncreq_start_req\n");
    if (valid(latch)) {
        pthread_mutex_lock(&latch->mutex);
        ++latch->count;
        pthread_mutex_unlock(&latch->mutex);
    }
    HTAPI_TRACE(t, "<asyncreq_start_req\n");
}

extern "C" PLUGRT_EXPORT void asyncreq_stop_req(HTAsyncLatch *latch) noexcept
{
    const bool t = latch_traces();
    HTAPI_TRACE(t, ">asyncreq_stop_req\n");
    if (valid(latch)) {
        pthread_mutex_lock(&latch->mutex);
        if (latch->count > 0)
            --latch->count;
        // Broadcast: a waiter and a deleter may both be waiting.
        pthread_cond_broadcast(&latch->changed);
        pthread_mutex_unlock(&latch->mutex);
    }
    HTAPI_TRACE(t, "<asyncreq_stop_req\n");
}

extern "C" PLUGRT_EXPORT void asyncreq_wait_for_req(HTAsyncLatch *latch) noexcept
{
    const bool t = latch_traces();
    HTAPI_TRACE(t, ">asyncreq_wait_for_req\n");
    if (valid(latch)) {
        pthread_mutex_lock(&latch->mutex);
        while (latch->count > 0)
            pthread_cond_wait(&latch->changed, &latch->mutex);
        pthread_mutex_unlock(&latch->mutex);
    }
    HTAPI_TRACE(t, "<asyncreq_wait_for_req\n");
}

extern "C" PLUGRT_EXPORT void asyncreq_term_handle(HTAsyncLatch *latch) noexcept
{
    const bool t = latch_traces();
    HTAPI_TRACE(t, ">asyncreq_term_handle\n");
    if (valid(latch)) {
        // Requests still running would complete into a destroyed record.
        pthread_mutex_lock(&latch->mutex);
        while (latch->count > 0)
            pthread_cond_wait(&latch->changed, &latch->mutex);
        pthread_mutex_unlock(&latch->mutex);
        pthread_cond_destroy(&latch->changed);
        pthread_mutex_destroy(&latch->mutex);
    }
    HTAPI_TRACE(t, "<asyncreq_term_handle\n");
}

extern "C" PLUGRT_EXPORT int asyncreq_count(HTAsyncLatch *latch) noexcept
{
    if (latch == nullptr)
        return -1;
    pthread_mutex_lock(&latch->mutex);
    const int n = latch->count;
    pthread_mutex_unlock(&latch->mutex);
    return n;
}

extern "C" PLUGRT_EXPORT void HTAPIAsyncReq_done(HTAsyncLatch *latch) noexcept
{
    asyncreq_stop_req(latch);
}

extern "C" PLUGRT_EXPORT void HTCREATASYN(void *handle, void **async_handle, long *return_code) noexcept
{
    Frame f(Api::GetAsync, handle, return_code, {});
    if (!f.live())
        return;
    if (!latch_given(f, async_handle))
        return;
    HTAsyncLatch *latch = nullptr;
    asyncreq_init_handle(&latch, f.handle());
    *async_handle = latch;
    if (latch == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_get_async_handle() init failure\n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_get_async_handle() init success \n");
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void HTSTARTHTTPR(void *handle, void *description, void *async_handle,
                                           long *return_code) noexcept
{
    Frame f(Api::StartHttp, handle, return_code, {});
    if (!f.live())
        return;
    // Without a latch nobody could wait for the request, nor count its completion.
    if (description == nullptr || async_handle == nullptr) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_start_http_req() given bad parameter \n");
        f.finish(HTTPD_FAILURE);
        return;
    }
    auto start = f.need<HTCB_START_HTTP_REQUEST>();
    if (start == nullptr) {
        f.finish(HTTPD_UNSUPPORTED);
        return;
    }
    auto *latch = static_cast<HTAsyncLatch *>(async_handle);
    asyncreq_start_req(latch);
    if (start(f.handle(), description, latch) == 1) {
        HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_start_http_req() started \n");
        f.finish(HTTPD_SUCCESS);
        return;
    }
    asyncreq_stop_req(latch);
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_start_http_req() did not start \n");
    f.finish(HTTPD_FAILURE);
}

extern "C" PLUGRT_EXPORT void HTWAITASYN(void *handle, void *async_handle, long *return_code) noexcept
{
    Frame f(Api::WaitAsync, handle, return_code, {});
    if (!f.live())
        return;
    if (!latch_given(f, async_handle))
        return;
    asyncreq_wait_for_req(static_cast<HTAsyncLatch *>(async_handle));
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_wait_async_handle() init success \n");
    f.finish(HTTPD_SUCCESS);
}

extern "C" PLUGRT_EXPORT void HTDELASYN(void *handle, void *async_handle, long *return_code) noexcept
{
    Frame f(Api::DeleteAsync, handle, return_code, {});
    if (!f.live())
        return;
    if (!latch_given(f, async_handle))
        return;
    asyncreq_term_handle(static_cast<HTAsyncLatch *>(async_handle));
    HTAPI_TRACE(f.tracing(), "plug-in..... HTTPD_delete_async_handle() init success \n");
    f.finish(HTTPD_SUCCESS);
}
