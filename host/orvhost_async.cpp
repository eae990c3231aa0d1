// Entry 157: asynchronous HTTP requests on the internal block of the worker pool.

#include "orvhost.h"

#include "hostfetch.h"
#include "htapi_cb.h"
#include "httpool.h"

#include <condition_variable>

namespace orvhost {

int async_refuse = 0;

namespace {

std::mutex m;
std::condition_variable changed;
bool started = false;
int running = 0;  // queued or running requests
int releases = 0; // held requests allowed to go on

// The pool reads word 84 of the record in word 0 of the item: 1 marks internal work.
uintptr_t internal_record[HT_REQUEST_WORD_INTERNAL + 1];

constexpr int kItemDescription = 1;
constexpr int kItemLatch = 2;

void work(uintptr_t *item, void *)
{
    auto *d = reinterpret_cast<AsyncDescription *>(item[kItemDescription]);
    auto *latch = reinterpret_cast<HTAsyncLatch *>(item[kItemLatch]);
    if (d->hold) {
        std::unique_lock<std::mutex> lock(m);
        changed.wait(lock, [] { return releases > 0; });
        --releases;
    }
    if (d->url != nullptr) {
        FetchRequest f;
        f.url = d->url;
        std::string answer;
        if (http_fetch(f, &answer)) {
            d->status = http_status(answer);
            d->length = answer.size();
        }
    }
    // The description is the plug-in's again once the completion is reported.
    plugrt()->HTAPIAsyncReq_done(latch);
    std::lock_guard<std::mutex> lock(m);
    --running;
    changed.notify_all();
}

int start_request(void *, void *description, void *async) noexcept
{
    if (async_refuse)
        return 0;
    {
        std::lock_guard<std::mutex> lock(m);
        if (!started)
            return 0;
        ++running;
    }
    const uintptr_t item[HT_WORK_ITEM_WORDS] = {reinterpret_cast<uintptr_t>(internal_record),
                                                reinterpret_cast<uintptr_t>(description),
                                                reinterpret_cast<uintptr_t>(async), 0, 0, 0, 0};
    if (RunOnThread(work, item, HT_RUN_QUEUE_OR_WAIT) != 0)
        return 1;
    std::lock_guard<std::mutex> lock(m);
    --running;
    changed.notify_all();
    return 0;
}

} // namespace

bool async_start(int workers)
{
    std::lock_guard<std::mutex> lock(m);
    if (started)
        return true;
    internal_record[HT_REQUEST_WORD_INTERNAL] = 1;
    setPoolBlock(-1, 0, 0);
    setPoolBlock(HT_POOL_BLOCK_NORMAL, 0, 1);
    setPoolBlock(HT_POOL_BLOCK_INTERNAL, 0, workers);
    HTThreadPool_setInternalPool(1);
    started = InitializeThreads(1 + workers) == 0;
    return started;
}

void async_stop()
{
    std::unique_lock<std::mutex> lock(m);
    if (!started)
        return;
    // A latch still counting would be completed by a worker of this pool.
    changed.wait(lock, [] { return running == 0; });
    started = false;
    lock.unlock();
    KillThreadPool(1, nullptr);
    HTThreadPool_setInternalPool(0);
}

void async_release(int n)
{
    std::lock_guard<std::mutex> lock(m);
    releases += n;
    changed.notify_all();
}

int async_running()
{
    std::lock_guard<std::mutex> lock(m);
    return running;
}

void fill_async(HTAPICallback *t)
{
    t[HTCB_START_HTTP_REQUEST] = reinterpret_cast<HTAPICallback>(
        static_cast<plugrt::Cb<HTCB_START_HTTP_REQUEST>::fn *>(start_request));
}

} // namespace orvhost
