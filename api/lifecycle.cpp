// Library start and stop, and the small status exports.
#include "api/lifecycle.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "api/tables.h"
#include "core/trace.h"
#include "events/notify.h"
#include "link/link.h"
#include "link/ring.h"
#include "link/send.h"
#include "link/transport.h"

namespace morel {

namespace {

// Static storage: the context, with its buffers, is constructed in place at
// each start and destroyed at each stop.
alignas(ApiContext) unsigned char g_contextStorage[sizeof(ApiContext)];

// The locks and waits of start and stop. Never destroyed: a worker detached
// by a stop from its own callback may still be finishing while the process
// exits and destroys its statics.
struct Lifecycle {
    // Application threads' starts and stops; never taken on a worker thread,
    // since a stop holds it while it joins the workers.
    std::mutex lock;
    // A stop made on a worker (from an application callback): that thread
    // cannot join itself, so it is detached and destroys the context once it
    // has left its loop. reapPending is set together with the stop's claim.
    std::mutex reapMutex;
    std::condition_variable reapDone;
    bool reapPending = false;
    std::thread::id reapThread;
};

Lifecycle &Life() {
    static Lifecycle *const life = new Lifecycle;
    return *life;
}

constexpr int kWorkers = 4;
// Never destroyed: an application may end its process with the library still
// running, and a joinable std::thread destroyed at exit aborts the process.
std::thread *const g_threads = new std::thread[kWorkers];

// Tests: the worker with this index fails to start (-1: none).
std::atomic<int> g_failWorkerStart{-1};

using WorkerFn = void (*)(ApiContext *);

void DestroyContextStorage(ApiContext *ctx) { ctx->~ApiContext(); }

void WorkerMain(WorkerFn fn, ApiContext *ctx) {
    MarkWorkerThread();
    fn(ctx);
    Lifecycle &life = Life();
    std::lock_guard<std::mutex> g(life.reapMutex);
    if (life.reapPending && life.reapThread == std::this_thread::get_id()) {
        DestroyContextStorage(ctx);
        TraceStop();
        life.reapPending = false;
        life.reapDone.notify_all();
    }
}

// Stops and joins the started workers (all but the calling thread), closes
// the transport and frees the lists. Returns true when the calling thread is
// one of the workers and so must destroy the context itself later.
bool StopWorkers(ApiContext *ctx) {
    ReleaseWaits(ctx);
    WaitForContextRefs();
    bool self = false;
    for (int i = 0; i < kWorkers; ++i) {
        std::thread &t = g_threads[i];
        if (!t.joinable())
            continue;
        if (t.get_id() == std::this_thread::get_id()) {
            self = true;
            t.detach();
        } else {
            t.join();
        }
    }
    CloseConnection(ctx);
    callbackContext.store(nullptr);
    FlushPackets(ctx);
    FlushEventQueue(ctx);
    return self;
}

ApiContext *CreateContext() {
    auto *ctx = new (g_contextStorage) ApiContext();
    ctx->protocol = &LibraryProtocol;
    callbackContext.store(ctx);

    const WorkerFn workers[kWorkers] = {SenderThread, ReceiverThread, EventThread, LinkThread};
    int started = 0;
    try {
        for (; started < kWorkers; ++started) {
            if (g_failWorkerStart.load() == started)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            g_threads[started] = std::thread(WorkerMain, workers[started], ctx);
        }
    } catch (const std::system_error &) {
        StopWorkers(ctx);
        DestroyContextStorage(ctx);
        return nullptr;
    }
    // Each worker sets its flag first thing; nothing can stop the library
    // before this returns.
    WaitForState(ctx, [ctx] {
        return ctx->senderStarted.load() && ctx->receiverStarted.load() && ctx->eventStarted.load() &&
               ctx->linkStarted.load();
    });
    EventSet(ctx->linkEvent);
    return ctx;
}

// Waits until a stop made on a worker has destroyed the context. It ends
// once that worker's callback has returned into the library.
void WaitForReap() {
    Lifecycle &life = Life();
    std::unique_lock<std::mutex> r(life.reapMutex);
    life.reapDone.wait(r, [&] { return !life.reapPending; });
}

} // namespace

void FailWorkerStartForTesting(int index) { g_failWorkerStart.store(index); }

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) InitializeUsbApiLib(void) {
    if (ContextPublished())
        return 1;
    if (OnWorkerThread())
        return 0; // a callback of a library being stopped cannot start a new one
    Lifecycle &life = Life();
    std::lock_guard<std::mutex> g(life.lock);
    if (ContextPublished())
        return 1;
    WaitForReap();
    LoadTransport();
    TraceStart();
    ApiContext *ctx = CreateContext();
    if (ctx == nullptr) {
        TraceStop();
        return 0;
    }
    PublishContext(ctx);
    return 1;
}

// Whoever takes the context out of its place stops the library; every other
// caller returns. A worker (a callback calling in) never takes the lifecycle
// lock, which an application thread holds while it joins that worker: it
// claims the stop with one exchange, marks itself to destroy the context
// once it has left its loop, and returns into its callback. An application
// thread returns only once the library is stopped, whoever stopped it.
MORELAPI_API(void) TerminateUsbApiLib(void) {
    Lifecycle &life = Life();
    if (OnWorkerThread()) {
        ApiContext *ctx;
        {
            std::lock_guard<std::mutex> r(life.reapMutex);
            ctx = TakeContext();
            if (ctx == nullptr)
                return;
            life.reapPending = true;
            life.reapThread = std::this_thread::get_id();
        }
        if (!StopWorkers(ctx)) {
            // Stopped from a thread the stop does not know as a worker of
            // this context (a worker of an earlier one): destroy it here.
            std::lock_guard<std::mutex> r(life.reapMutex);
            DestroyContextStorage(ctx);
            TraceStop();
            life.reapPending = false;
            life.reapDone.notify_all();
        }
        return;
    }
    std::lock_guard<std::mutex> g(life.lock);
    ApiContext *ctx = TakeContext();
    if (ctx != nullptr) {
        if (!StopWorkers(ctx))
            DestroyContextStorage(ctx);
        TraceStop();
    }
    // A stop from a callback stops the trace when it has destroyed the
    // context: once this wait ends, the trace is complete either way.
    WaitForReap();
}

MORELAPI_API(int) IsSPphoneAvailable(void) {
    ContextRef ctx;
    return ctx && ctx->deviceAvailable.load() == 1 ? 1 : 0;
}

MORELAPI_API(int) IsCommandActive(void) {
    ContextRef ctx;
    return ctx && ctx->commandActive.load() == 1 ? 1 : 0;
}

MORELAPI_API(int) IsProductDefault(void) {
    ContextRef ctx;
    return IsDeviceReady(ctx) && ctx->productDefault.load() == 1 ? 1 : 0;
}

MORELAPI_API(int) DoCancelCommand(void) { return 1; }

} // extern "C"
