// Entry 157: asynchronous HTTP requests on the internal block of the worker
// pool, loaded by the library.

#include "orvhost.h"

#include "hostasync.h"
#include "hostsubreq.h"
#include "htapi_cb.h"
#include "httpool.h"

namespace orvhost {

int async_refuse = 0;

void Pending::add()
{
    std::lock_guard<std::mutex> lock(m_);
    ++n_;
}

void Pending::done()
{
    std::lock_guard<std::mutex> lock(m_);
    --n_;
    changed_.notify_all();
}

void Pending::drain()
{
    std::unique_lock<std::mutex> lock(m_);
    changed_.wait(lock, [this] { return n_ == 0; });
}

int Pending::count()
{
    std::lock_guard<std::mutex> lock(m_);
    return n_;
}

namespace {

std::mutex m;
std::condition_variable changed;
bool started = false;
bool attached = false; // the program's pool, not ours to stop
int running = 0;       // queued or running requests
int releases = 0;      // held requests allowed to go on

// The requests this thread started, for the reset of its context's memory;
// a thread that ends waits for them too.
struct ThreadPending {
    ~ThreadPending() { p.drain(); }
    Pending p;
};
thread_local ThreadPending thread_requests;

// The pool reads word 84 of the record in word 0 of the item: 1 marks internal work.
uintptr_t internal_record[HT_REQUEST_WORD_INTERNAL + 1];

constexpr int kItemDescription = 1;
constexpr int kItemLatch = 2;
constexpr int kItemRequest = 3; // the Pending of the plug-in's request
constexpr int kItemThread = 4;  // the Pending of the thread that started it

void work(uintptr_t *item, void *globals)
{
    auto *d = reinterpret_cast<AsyncDescription *>(item[kItemDescription]);
    auto *latch = reinterpret_cast<HTAsyncLatch *>(item[kItemLatch]);
    auto *request = reinterpret_cast<Pending *>(item[kItemRequest]);
    auto *thread = reinterpret_cast<Pending *>(item[kItemThread]);
    if (d->hold) {
        std::unique_lock<std::mutex> lock(m);
        changed.wait(lock, [] { return releases > 0; });
        --releases;
    }
    if (d->url != nullptr) {
        SubRequest s;
        s.url = d->url;
        SubAnswer a;
        a.keep = false;
        sub_load_alone(globals, s, &a);
        d->status = a.status;
        d->length = a.body_bytes;
    }
    // The description is the plug-in's again once the completion is reported.
    plugrt()->HTAPIAsyncReq_done(latch);
    request->done();
    thread->done();
    std::lock_guard<std::mutex> lock(m);
    --running;
    changed.notify_all();
}

int start_request(void *h, void *description, void *async) noexcept
{
    if (async_refuse)
        return 0;
    {
        std::lock_guard<std::mutex> lock(m);
        if (!started)
            return 0;
        ++running;
    }
    Pending *request = &request_of(h).async;
    request->add();
    thread_requests.p.add();
    const uintptr_t item[HT_WORK_ITEM_WORDS] = {reinterpret_cast<uintptr_t>(internal_record),
                                                reinterpret_cast<uintptr_t>(description),
                                                reinterpret_cast<uintptr_t>(async),
                                                reinterpret_cast<uintptr_t>(request),
                                                reinterpret_cast<uintptr_t>(&thread_requests.p), 0, 0};
    if (RunOnThread(work, item, HT_RUN_QUEUE_OR_WAIT) != 0)
        return 1;
    request->done();
    thread_requests.p.done();
    std::lock_guard<std::mutex> lock(m);
    --running;
    changed.notify_all();
    return 0;
}

} // namespace

bool async_start(int workers)
{
    // The library before the first worker: each makes its context as it starts.
    if (!sub_start())
        return false;
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

void async_attach()
{
    std::lock_guard<std::mutex> lock(m);
    internal_record[HT_REQUEST_WORD_INTERNAL] = 1;
    started = true;
    attached = true;
}

void async_stop()
{
    std::unique_lock<std::mutex> lock(m);
    if (!started)
        return;
    // A latch still counting would be completed by a worker of this pool.
    changed.wait(lock, [] { return running == 0; });
    started = false;
    if (attached)
        return;
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

void async_drain_thread()
{
    thread_requests.p.drain();
}

void fill_async(HTAPICallback *t)
{
    t[HTCB_START_HTTP_REQUEST] = reinterpret_cast<HTAPICallback>(
        static_cast<plugrt::Cb<HTCB_START_HTTP_REQUEST>::fn *>(start_request));
}

} // namespace orvhost

extern "C" void hostasync_attach(void)
{
    orvhost::async_attach();
}

extern "C" void hostasync_drain(void)
{
    orvhost::async_drain_thread();
}
