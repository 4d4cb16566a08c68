// Library start and stop, the guards and the small status exports.
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/context.h"
#include "events/notify.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/ring.h"
#include "link/send.h"
#include "link/transport.h"

namespace morel {

std::atomic<ApiContext *> callbackContext{nullptr};

namespace {

// Static storage: the context is constructed in place at each start and
// destroyed at each stop; the buffers beside it live for the process.
alignas(ApiContext) unsigned char g_contextStorage[sizeof(ApiContext)];
ReceiveRing g_ringDescriptor;
uint8_t g_ringStorage[kRingSize];
uint8_t g_txFrame[kTxFrameSize];
uint8_t g_rxFrame[kRxFrameSize];
uint8_t g_displayBuffer[kDisplayBytes];
ContactRecord g_contactTable[kContactCountMax];
RecordTable g_recordTable;
uint8_t g_rawReceiveBuffer[128];

std::atomic<ApiContext *> contextPointer{nullptr};

// The locks and waits of start and stop. Never destroyed: a worker detached
// by a stop from its own callback may still be finishing while the process
// exits and destroys its statics.
struct Lifecycle {
    // Application threads' starts and stops; never taken on a worker thread,
    // since a stop holds it while it joins the workers.
    std::mutex lock;
    // Exported calls in progress (ContextRef).
    std::atomic<int> refs{0};
    std::mutex refMutex;
    std::condition_variable refIdle;
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

thread_local bool t_worker = false;

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
        life.reapPending = false;
        life.reapDone.notify_all();
    }
}

void WakeEverything(ApiContext *ctx) {
    ctx->stopping.store(true);
    for (Event *e : {&ctx->stopEvent, &ctx->sendEvent, &ctx->replyEvent, &ctx->ringEvent, &ctx->linkEvent,
                     &ctx->notifyEvent, &ctx->roomEvent, &ctx->turnEvent, &ctx->startedEvent, &ctx->discardedEvent})
        EventRelease(*e);
    {
        std::lock_guard<std::mutex> g(ctx->slotLock);
    }
    ctx->slotIdle.notify_all();
}

// Stops and joins the started workers (all but the calling thread), closes
// the transport and frees the lists. Returns true when the calling thread is
// one of the workers and so must destroy the context itself later.
bool StopWorkers(ApiContext *ctx) {
    WakeEverything(ctx);
    Lifecycle &life = Life();
    {
        std::unique_lock<std::mutex> g(life.refMutex);
        life.refIdle.wait(g, [&] { return life.refs.load() == 0; });
    }
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
    uint32_t handle = ctx->transportHandle.exchange(0);
    const TransportOps *ops = CurrentTransport();
    if (handle != 0 && ops != nullptr)
        ops->close(handle);
    callbackContext.store(nullptr);
    FlushPackets(ctx);
    FlushEventQueue(ctx);
    return self;
}

ApiContext *CreateContext() {
    g_ringDescriptor.start = g_ringStorage;
    g_ringDescriptor.readPtr = 0;
    g_ringDescriptor.writePtr = 0;
    g_ringDescriptor.used.store(0);

    auto *ctx = new (g_contextStorage) ApiContext();
    callbackContext.store(ctx);
    ctx->ring = &g_ringDescriptor;
    ctx->txFrame = g_txFrame;
    ctx->rxFrame = g_rxFrame;
    std::memset(g_rxFrame, 0, sizeof g_rxFrame);
    ctx->displayBuffer = g_displayBuffer;
    ctx->contactTable = g_contactTable;
    ctx->recordTable = &g_recordTable;
    ctx->rawReceiveBuffer = g_rawReceiveBuffer;
    ctx->nextSequence.store(1);
    ctx->protocolVersion.store(0x30);
    ctx->syncComplete.store(1);

    EventInit(ctx->sendEvent, false);
    EventInit(ctx->replyEvent, false);
    EventInit(ctx->ringEvent, false);
    EventInit(ctx->linkEvent, true);
    EventInit(ctx->notifyEvent, false);
    EventInit(ctx->roomEvent, false);
    EventInit(ctx->stopEvent, true);
    EventInit(ctx->turnEvent, false);
    EventInit(ctx->startedEvent, false);
    EventInit(ctx->discardedEvent, false);

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
    auto allStarted = [ctx] {
        return ctx->senderStarted.load() && ctx->receiverStarted.load() && ctx->eventStarted.load() &&
               ctx->linkStarted.load();
    };
    while (!allStarted())
        EventWait(ctx->startedEvent, -1);
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

bool OnWorkerThread() { return t_worker; }
void FailWorkerStartForTesting(int index) { g_failWorkerStart.store(index); }
void MarkWorkerThread() { t_worker = true; }

ApiContext *AcquireContext() {
    Life().refs.fetch_add(1);
    ApiContext *ctx = contextPointer.load();
    if (ctx == nullptr)
        ReleaseContext();
    return ctx;
}

void ReleaseContext() {
    Lifecycle &life = Life();
    if (life.refs.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> g(life.refMutex);
        life.refIdle.notify_all();
    }
}

bool CanIssueCommand(const ApiContext *ctx) {
    return ctx != nullptr && ctx->commandActive.load() == 0 && ctx->deviceAvailable.load() == 1 &&
           ctx->syncComplete.load() == 1 && !ctx->stopping.load();
}

bool IsDeviceReady(const ApiContext *ctx) {
    return ctx != nullptr && ctx->deviceAvailable.load() == 1 && ctx->syncComplete.load() == 1;
}

bool SleepUnlessStopping(ApiContext *ctx, uint32_t ms) {
    if (SleepHook hook = GetSleepHook())
        ms = hook(ms);
    return EventWait(ctx->stopEvent, ms) == WaitResult::Timeout;
}

} // namespace morel

using namespace morel;

extern "C" {

MORELAPI_API(int) InitializeUsbApiLib(void) {
    ApiContext *current = contextPointer.load();
    if (current != nullptr)
        return 1;
    if (OnWorkerThread())
        return 0; // a callback of a library being stopped cannot start a new one
    Lifecycle &life = Life();
    std::lock_guard<std::mutex> g(life.lock);
    if (contextPointer.load() != nullptr)
        return 1;
    WaitForReap();
    LoadTransport();
    ApiContext *ctx = CreateContext();
    if (ctx == nullptr)
        return 0;
    contextPointer.store(ctx);
    return 1;
}

// Whoever takes the context out of contextPointer stops the library; every
// other caller returns. A worker (a callback calling in) never takes the
// lifecycle lock, which an application thread holds while it joins that
// worker: it claims the stop with one exchange, marks itself to destroy the
// context once it has left its loop, and returns into its callback. An
// application thread returns only once the library is stopped, whoever
// stopped it.
MORELAPI_API(void) TerminateUsbApiLib(void) {
    Lifecycle &life = Life();
    if (OnWorkerThread()) {
        ApiContext *ctx;
        {
            std::lock_guard<std::mutex> r(life.reapMutex);
            ctx = contextPointer.exchange(nullptr);
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
            life.reapPending = false;
            life.reapDone.notify_all();
        }
        return;
    }
    std::lock_guard<std::mutex> g(life.lock);
    ApiContext *ctx = contextPointer.exchange(nullptr);
    if (ctx != nullptr && !StopWorkers(ctx))
        DestroyContextStorage(ctx);
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
    return ctx && ctx->deviceAvailable.load() == 1 && ctx->syncComplete.load() == 1 && ctx->productDefault.load() == 1
               ? 1
               : 0;
}

MORELAPI_API(int) DoCancelCommand(void) { return 1; }

} // extern "C"
